// `_parse_summary`: the LLM's answer as a Summary record.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "state.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;
namespace at = line::parse_summary;

constexpr Py_ssize_t kNarrativeLimit = 1000;
constexpr Py_UCS4 kBackquote = '`';

constexpr rt::Site kSite = site_of(Fn::parse_summary);

// The span [start, end) of a str without the white space that str.strip()
// removes on either side.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

Span stripped_span(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

bool is_fence_at(PyObject* text, Py_ssize_t position, Py_ssize_t end) noexcept {
    if (end - position < 3) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    return PyUnicode_READ(kind, data, position) == kBackquote &&
           PyUnicode_READ(kind, data, position + 1) == kBackquote &&
           PyUnicode_READ(kind, data, position + 2) == kBackquote;
}

// A line that is the fence marker and nothing else once stripped.
bool is_closing_fence(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
    const Span line = stripped_span(text, start, end);
    return line.end - line.start == 3 && is_fence_at(text, line.start, line.end);
}

// The lines after the opening fence line up to (not including) the first
// closing fence line, joined with "\n", of the cleaned text, which is the
// span `cleaned` of `answer` and starts with the fence marker (so its first
// line always opens the block and is never collected). Splitting at "\n"
// and joining a run of consecutive lines with "\n" gives back that stretch
// of the text, so the result is a slice of `answer`, and the cleaned text
// itself need not be made.
Ref fenced_block(PyObject* answer, Span cleaned) {
    const Py_ssize_t end = cleaned.end;
    const Py_ssize_t first_break = PyUnicode_FindChar(answer, '\n', cleaned.start, end, 1);
    if (first_break == -2) kSite.fail(at::split);
    if (first_break == -1) return Ref::borrow(str::empty);
    const Py_ssize_t block_start = first_break + 1;
    Py_ssize_t block_end = end;
    Py_ssize_t line_start = block_start;
    for (;;) {
        Py_ssize_t line_end = PyUnicode_FindChar(answer, '\n', line_start, end, 1);
        if (line_end == -2) kSite.fail(at::loop);
        if (line_end == -1) line_end = end;
        if (is_closing_fence(answer, line_start, line_end)) {
            block_end = line_start - 1;  // drop the "\n" before the closing line
            break;
        }
        if (line_end == end) break;
        line_start = line_end + 1;
    }
    if (block_end < block_start) return Ref::borrow(str::empty);
    return kSite.at(at::join_block, PyUnicode_Substring(answer, block_start, block_end));
}

// `json.loads(text)` mapped onto a new record through `data.get`: the region
// guarded by `except json.JSONDecodeError`. An answer that is not JSON is an
// expected outcome, so the call's failure comes back as an empty result (the
// exception set, carrying the entry of its step) rather than as a C++ throw;
// so does a failing step of the mapping.
Ref decode_and_map(PyObject* text) {
    constexpr auto expected = site_of<rt::Policy::expected>(Fn::parse_summary);
    Ref data = call_json_loads(expected, at::loads, text);
    if (!data) return {};
    try {
        return build_record(kSite, at::record, [&](const RecordField& field, int line) {
            Ref fallback = default_value(kSite, field, line);
            if (field.fallback == Default::time_stamp) return fallback;
            return kSite.at(line, get_or(data.get(), *field.key, fallback.get()));
        });
    } catch (const rt::PythonError&) {
        return {};
    }
}

// The record of an answer that is not JSON: the defaults, and the first 1000
// characters of the cleaned text as the narrative.
Ref unparsable_record(PyObject* text) {
    return build_record(kSite, at::unparsable_record, [&](const RecordField& field, int line) {
        if (field.key == &str::summary) return kSite.at(line, PyUnicode_Substring(text, 0, kNarrativeLimit));
        return default_value(kSite, field, line);
    });
}

}  // namespace

PyObject* parse_summary(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        const rt::Site& site = kSite;
        // `text` is an exact str (the binding checks it): stripping it and
        // slicing it run no Python code.
        PyObject* answer = args[0];
        const Span kept = stripped_span(answer, 0, PyUnicode_GET_LENGTH(answer));
        Ref text = is_fence_at(answer, kept.start, kept.end)
                       ? fenced_block(answer, kept)
                       : site.at(at::strip, PyUnicode_Substring(answer, kept.start, kept.end));

        Ref record = decode_and_map(text.get());
        if (record) return record.release();

        // While the clause is matched and run, the failure is the exception
        // being handled: a new failure chains to it.
        DecodeErrorClause clause;
        if (site.status(at::except_decode_error, clause.matches()) == 0) clause.reraise();
        log_message(site, at::warning, str::warning, str::could_not_parse_summary_json);
        return unparsable_record(text.get()).release();
    });
}

}  // namespace korbix::summarizer
