// `_parse_summary`: the LLM's answer as a Summary record.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "state.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

const Text kJsonName{"json"};
const Text kLoads{"loads"};
const Text kLoggerName{"logger"};
const Text kWarning{"warning"};
const Text kUnparsableWarning{"Could not parse summary JSON, using fallback"};

constexpr Py_ssize_t kNarrativeLimit = 1000;
constexpr Py_UCS4 kBackquote = '`';

constexpr rt::Site kSite{kTracebackParseSummary};

// The span [start, end) of a str without the white space that str.strip()
// removes on either side.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

Span stripped_span(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

bool is_fence_at(PyObject* text, Py_ssize_t position, Py_ssize_t end) {
    if (end - position < 3) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    return PyUnicode_READ(kind, data, position) == kBackquote &&
           PyUnicode_READ(kind, data, position + 1) == kBackquote &&
           PyUnicode_READ(kind, data, position + 2) == kBackquote;
}

// A line that is the fence marker and nothing else once stripped.
bool is_closing_fence(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
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
    if (first_break == -2) kSite.fail(217);
    if (first_break == -1) return Ref::borrow(kEmptyText.get());
    const Py_ssize_t block_start = first_break + 1;
    Py_ssize_t block_end = end;
    Py_ssize_t line_start = block_start;
    for (;;) {
        Py_ssize_t line_end = PyUnicode_FindChar(answer, '\n', line_start, end, 1);
        if (line_end == -2) kSite.fail(225);
        if (line_end == -1) line_end = end;
        if (is_closing_fence(answer, line_start, line_end)) {
            block_end = line_start - 1;  // drop the "\n" before the closing line
            break;
        }
        if (line_end == end) break;
        line_start = line_end + 1;
    }
    if (block_end < block_start) return Ref::borrow(kEmptyText.get());
    return kSite.at(229, PyUnicode_Substring(answer, block_start, block_end));
}

struct Field {
    const Text* key;
    int line;
    bool is_list;  // the default is a new empty list, else ""
};

// The answer's keys in record order, with the line of each read.
const Field kFields[] = {
    {&kGoals, 235, true},         {&kProgress, 236, true},   {&kCurrentState, 237, false},
    {&kKeyDecisions, 238, true},  {&kKeyFacts, 239, true},   {&kBlockers, 240, true},
    {&kNextSteps, 241, true},     {&kSummary, 242, false},
};

// The parsed answer mapped onto a new record through `data.get`.
Ref map_answer(PyObject* data) {
    const rt::Site& site = kSite;
    Ref record = site.at(235, new_record_dict());
    for (const Field& field : kFields) {
        Ref fallback = field.is_list ? site.at(field.line, PyList_New(0)) : Ref::borrow(kEmptyText.get());
        Ref value = site.at(field.line, get_or(data, field.key->get(), fallback.get()));
        site.status(235, PyDict_SetItem(record.get(), field.key->get(), value.get()));
    }
    Ref created_at = site.at(243, current_time());
    site.status(235, PyDict_SetItem(record.get(), kCreatedAt.get(), created_at.get()));
    return record;
}

// The record of an answer that is not JSON: empty lists, the first 1000
// characters of the cleaned text as the narrative.
Ref unparsable_record(PyObject* text) {
    const rt::Site& site = kSite;
    Ref record = site.at(248, new_record_dict());
    PyObject* dict = record.get();
    site.status(248, PyDict_SetItem(dict, kGoals.get(), site.at(248, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kProgress.get(), site.at(249, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kCurrentState.get(), kEmptyText.get()));
    site.status(248, PyDict_SetItem(dict, kKeyDecisions.get(), site.at(251, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kKeyFacts.get(), site.at(252, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kBlockers.get(), site.at(253, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kNextSteps.get(), site.at(254, PyList_New(0)).get()));
    site.status(248, PyDict_SetItem(dict, kSummary.get(),
                                    site.at(255, PyUnicode_Substring(text, 0, kNarrativeLimit)).get()));
    site.status(248, PyDict_SetItem(dict, kCreatedAt.get(), site.at(256, current_time()).get()));
    return record;
}

// Adds this function's entry for `line` to the pending exception.
Ref failed_at(int line) {
    rt::add_traceback(kTracebackParseSummary, line, rt::traceback_globals());
    return {};
}

// The region guarded by `except json.JSONDecodeError`: `json.loads(text)`
// mapped onto a record. An answer that is not JSON is an expected outcome,
// so failures come back as an empty result (the exception set and carrying
// the entry of its step) rather than as a C++ throw.
Ref decode_and_map(PyObject* text) {
    Ref json = lookup_global(kJsonName.get());
    if (!json) return failed_at(232);
    Ref loads = module_attribute(json.get(), kLoads.get());
    if (!loads) return failed_at(232);
    Ref data = Ref::steal(PyObject_CallOneArg(loads.get(), text));
    if (!data) return failed_at(232);
    try {
        return map_answer(data.get());
    } catch (const rt::PythonError&) {
        return {};
    }
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
                       : site.at(213, PyUnicode_Substring(answer, kept.start, kept.end));

        Ref record = decode_and_map(text.get());
        if (record) return record.release();

        // While the clause is matched and run, the failure is the exception
        // being handled: a new failure chains to it, as in an `except` clause.
        Ref error = take_raised_exception();
        HandlingScope handling(error.get());
        if (site.status(245, is_json_decode_error(error.get())) == 0) {
            PyErr_SetRaisedException(error.release());
            throw rt::PythonError{};
        }
        Ref logger = site.at(246, lookup_global(kLoggerName.get()));
        site.at(246, PyObject_CallMethodOneArg(logger.get(), kWarning.get(), kUnparsableWarning.get()));
        return unparsable_record(text.get()).release();
    });
}

}  // namespace korbix::summarizer
