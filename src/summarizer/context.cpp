// `ConversationSummarizer.format_summary_for_context`: the Markdown context block.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "text.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

const Text kBanner{"## Conversation History Summary"};
const Text kNote{"*(Earlier messages were summarized to save context space)*\n"};
const Text kGoalsHeading{"### Original Goals"};
const Text kProgressHeading{"### Progress So Far"};
const Text kCurrentStateHeading{"### Current State\n"};
const Text kDecisionsHeading{"### Key Decisions"};
const Text kFactsHeading{"### Key Facts"};
const Text kBlockersHeading{"### Issues & Resolutions"};
const Text kNextStepsHeading{"### Next Steps"};
const Text kNarrativeHeading{"### Narrative Summary\n"};
const Text kBullet{"  - "};
const Text kBreakBullet{"\n  - "};
const Text kLineBreak{"\n"};

constexpr rt::Site kSite{kTracebackFormatSummaryForContext};

enum class Kind { List, CurrentState, Narrative };

// A section's lines: `line` tests the entry; a list section puts its heading
// on the next line, then the loop, the bullet and the blank piece; a text
// section builds its one piece on the next line.
struct Section {
    const Text* key;
    const Text* heading;
    Kind kind;
    int line;
};

const Section kSections[] = {
    {&kGoals, &kGoalsHeading, Kind::List, 116},
    {&kProgress, &kProgressHeading, Kind::List, 122},
    {&kCurrentState, &kCurrentStateHeading, Kind::CurrentState, 128},
    {&kKeyDecisions, &kDecisionsHeading, Kind::List, 131},
    {&kKeyFacts, &kFactsHeading, Kind::List, 137},
    {&kBlockers, &kBlockersHeading, Kind::List, 143},
    {&kNextSteps, &kNextStepsHeading, Kind::List, 149},
    {&kSummary, &kNarrativeHeading, Kind::Narrative, 155},
};

// `summary.get(key)` on the exact dict, then its truth.
bool entry_is_true(PyObject* summary, const Section& section) {
    const rt::Site& site = kSite;
    PyObject* value = nullptr;
    site.status(section.line, PyDict_GetItemRef(summary, section.key->get(), &value));
    if (value == nullptr) return false;
    Ref held = Ref::steal(value);
    return site.status(section.line, is_true(held.get())) != 0;
}

void add_list_section(TextBuilder& parts, PyObject* summary, const Section& section) {
    const rt::Site& site = kSite;
    site.status(section.line + 1, parts.part({section.heading->get()}));
    // Looked up again: the truth test may have run code that changed the dict.
    Ref items = site.at(section.line + 2, PyObject_GetItem(summary, section.key->get()));
    ForLoop loop;
    site.status(section.line + 2, loop.start(items.get()));
    Ref item;
    while (site.status(section.line + 2, loop.next(item))) {
        Ref item_text = site.at(section.line + 3, format_text(item.get()));
        site.status(section.line + 3, parts.part(Opening{kBullet.get(), kBreakBullet.get()}, {item_text.get()}));
    }
    site.status(section.line + 4, parts.part({}));
}

void add_text_section(TextBuilder& parts, PyObject* summary, const Section& section) {
    const rt::Site& site = kSite;
    const int line = section.line + 1;
    Ref value = site.at(line, PyObject_GetItem(summary, section.key->get()));
    Ref value_text = site.at(line, format_text(value.get()));
    if (section.kind == Kind::CurrentState) {
        site.status(line, parts.part({section.heading->get(), value_text.get(), kLineBreak.get()}));
    } else {
        site.status(line, parts.part({section.heading->get(), value_text.get()}));
    }
}

}  // namespace

PyObject* format_summary_for_context(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        const rt::Site& site = kSite;
        PyObject* summary = args[1];
        TextBuilder parts(kLineBreak.get());
        site.status(113, parts.part({kBanner.get()}));
        site.status(114, parts.part({kNote.get()}));
        for (const Section& section : kSections) {
            if (!entry_is_true(summary, section)) continue;
            if (section.kind == Kind::List) {
                add_list_section(parts, summary, section);
            } else {
                add_text_section(parts, summary, section);
            }
        }
        return site.at(158, parts.build()).release();
    });
}

}  // namespace korbix::summarizer
