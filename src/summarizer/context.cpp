// `ConversationSummarizer.format_summary_for_context`: the Markdown context block.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "protocol.hpp"
#include "text.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;
namespace at = line::format_summary_for_context;

constexpr rt::Site kSite = site_of(Fn::format_summary_for_context);

enum class Kind : unsigned char { List, Text };

// A list section shows its heading on a line of its own, one bullet per
// item, then a blank line; a text section shows its heading (which ends with
// its line break) and the text as one part.
struct Section {
    Kind kind;
    PyObject* const* key;
    PyObject* const* heading;
    at::ListSection list_lines;
    at::TextSection text_lines;
    bool blank_after;  // a text section followed by a blank line
};

constexpr Section list(PyObject* const* key, PyObject* const* heading, at::ListSection lines) {
    return {Kind::List, key, heading, lines, {}, false};
}
constexpr Section text(PyObject* const* key, PyObject* const* heading, at::TextSection lines, bool blank_after) {
    return {Kind::Text, key, heading, {}, lines, blank_after};
}

// The sections in the order of the block.
constexpr Section kSections[] = {
    list(&str::goals, &str::h3_original_goals, at::goals),
    list(&str::progress, &str::h3_progress_so_far, at::progress),
    text(&str::current_state, &str::h3_current_state_nl, at::current_state, true),
    list(&str::key_decisions, &str::h3_key_decisions, at::key_decisions),
    list(&str::key_facts, &str::h3_key_facts, at::key_facts),
    list(&str::blockers, &str::h3_issues_and_resolutions, at::blockers),
    list(&str::next_steps, &str::h3_next_steps, at::next_steps),
    text(&str::summary, &str::h3_narrative_summary_nl, at::summary, false),
};

constexpr int test_line(const Section& section) {
    return section.kind == Kind::List ? section.list_lines.test : section.text_lines.test;
}
constexpr int end_line(const Section& section) {
    return section.kind == Kind::List ? section.list_lines.end : section.text_lines.end;
}
// The table's order is the order of the sections' lines: each starts where
// the one before it ends, and the last ends at the join.
constexpr bool sections_follow_their_lines() {
    int expected = test_line(kSections[0]);
    for (const Section& section : kSections) {
        if (test_line(section) != expected) return false;
        expected = end_line(section);
    }
    return expected == at::join;
}
static_assert(sections_follow_their_lines());

// `summary.get(key)` on the exact dict, then its truth.
bool entry_is_true(PyObject* summary, PyObject* key, int line) {
    Ref value = kSite.at(line, read_exact_dict(summary, key, Py_None));
    return kSite.status(line, is_true(value.get())) != 0;
}

void add_list_section(TextBuilder& parts, PyObject* summary, const Section& section) {
    const at::ListSection& lines = section.list_lines;
    if (!entry_is_true(summary, *section.key, lines.test)) return;
    kSite.status(lines.heading, parts.part({*section.heading}));
    // Looked up again: the truth test may have run code that changed the dict.
    Ref items = kSite.at(lines.loop, PyObject_GetItem(summary, *section.key));
    ForLoop loop;
    kSite.status(lines.loop, loop.start(items.get()));
    Ref item;
    while (kSite.status(lines.loop, loop.next(item))) {
        Ref item_text = kSite.at(lines.bullet, format_text(item.get()));
        kSite.status(lines.bullet, parts.part({str::indent_dash, item_text.get()}));
    }
    kSite.status(lines.blank, parts.part({}));
}

void add_text_section(TextBuilder& parts, PyObject* summary, const Section& section) {
    const at::TextSection& lines = section.text_lines;
    if (!entry_is_true(summary, *section.key, lines.test)) return;
    Ref value = kSite.at(lines.text, PyObject_GetItem(summary, *section.key));
    Ref value_text = kSite.at(lines.text, format_text(value.get()));
    if (section.blank_after) {
        kSite.status(lines.text, parts.part({*section.heading, value_text.get(), str::nl}));
    } else {
        kSite.status(lines.text, parts.part({*section.heading, value_text.get()}));
    }
}

}  // namespace

PyObject* format_summary_for_context(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        PyObject* summary = args[1];
        TextBuilder parts(str::nl);
        kSite.status(at::banner, parts.part({str::h2_conversation_history_summary}));
        kSite.status(at::note, parts.part({str::earlier_messages_were_summarized}));
        for (const Section& section : kSections) {
            if (section.kind == Kind::List) {
                add_list_section(parts, summary, section);
            } else {
                add_text_section(parts, summary, section);
            }
        }
        return kSite.at(at::join, parts.build()).release();
    });
}

}  // namespace korbix::summarizer
