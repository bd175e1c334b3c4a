// `_format_messages_for_summary` and `_brief_args`: the Transcript.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "constants.hpp"
#include "logic.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "state.hpp"
#include "text.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;

const Text kRole{"role"};
const Text kContent{"content"};
const Text kToolCallId{"tool_call_id"};
const Text kToolCalls{"tool_calls"};
const Text kFunction{"function"};
const Text kName{"name"};
const Text kArguments{"arguments"};
const Text kUnknown{"unknown"};

const Text kSystem{"system"};
const Text kTool{"tool"};
const Text kAssistant{"assistant"};
const Text kUser{"user"};

const Text kJsonName{"json"};
const Text kLoads{"loads"};
const Text kBriefArgsName{"_brief_args"};

const Text kToolResultOpen{"[Tool Result ("};
const Text kBreakToolResultOpen{"\n[Tool Result ("};
const Text kToolResultClose{")]: "};
const Text kTruncated{"... [truncated]"};
const Text kAssistantPrefix{"[Assistant]: "};
const Text kBreakAssistantPrefix{"\n[Assistant]: "};
const Text kAssistantCalled{"[Assistant called "};
const Text kBreakAssistantCalled{"\n[Assistant called "};
const Text kCallClose{"]: "};
const Text kUserPrefix{"[User]: "};
const Text kBreakUserPrefix{"\n[User]: "};
const Text kLineBreak{"\n"};
const Text kEquals{"="};
const Text kPartSeparator{", "};
const Text kEllipsis{"..."};

constexpr Py_ssize_t kToolResultLimit = 500;
constexpr Py_ssize_t kArgumentValueLimit = 100;
constexpr Py_ssize_t kPlainArgumentsLimit = 200;

// Each line opens with a constant that also carries the line break before it.
Opening tool_result_opening() { return {kToolResultOpen.get(), kBreakToolResultOpen.get()}; }
Opening assistant_opening() { return {kAssistantPrefix.get(), kBreakAssistantPrefix.get()}; }
Opening tool_call_opening() { return {kAssistantCalled.get(), kBreakAssistantCalled.get()}; }
Opening user_opening() { return {kUserPrefix.get(), kBreakUserPrefix.get()}; }

constexpr rt::Site kMessagesSite{kTracebackFormatMessages};
constexpr rt::Site kBriefSite{kTracebackBriefArgs};

enum class Role { System, Tool, Assistant, User, Other };

// The role tests, in their order; each `==` may run the role's own code.
Role classify(PyObject* role) {
    const rt::Site& site = kMessagesSite;
    if (PyUnicode_CheckExact(role)) {
        if (same_text(role, kSystem.get())) return Role::System;
        if (same_text(role, kTool.get())) return Role::Tool;
        if (same_text(role, kAssistant.get())) return Role::Assistant;
        if (same_text(role, kUser.get())) return Role::User;
        return Role::Other;
    }
    if (site.status(168, equals_text(role, kSystem.get()))) return Role::System;
    if (site.status(171, equals_text(role, kTool.get()))) return Role::Tool;
    if (site.status(177, equals_text(role, kAssistant.get()))) return Role::Assistant;
    if (site.status(193, equals_text(role, kUser.get()))) return Role::User;
    return Role::Other;
}

// "[Tool Result (<id>)]: <content>", the content cut after 500 items.
void add_tool_line(TextBuilder& lines, Ref tool_id, Ref content) {
    const rt::Site& site = kMessagesSite;
    bool cut = false;
    if (site.status(174, is_true(content.get()))) {
        const Py_ssize_t length = length_of(content.get());
        if (length < 0) site.fail(174);
        cut = length > kToolResultLimit;
    }
    if (cut && PyUnicode_CheckExact(content.get())) {
        // The cut text would format to itself: the line takes the prefix of
        // the content and the marker as they are, without building the cut.
        Ref id_text = site.at(176, format_text(tool_id.get()));
        site.status(176, lines.part(tool_result_opening(), {id_text.get(), kToolResultClose.get(),
                                     Piece(content.get(), kToolResultLimit), kTruncated.get()}));
        return;
    }
    if (cut) content = site.at(175, cut_with_marker(content.get(), kToolResultLimit, kTruncated.get()));
    Ref id_text = site.at(176, format_text(tool_id.get()));
    Ref content_text = site.at(176, format_text(content.get()));
    site.status(176, lines.part(tool_result_opening(), {id_text.get(), kToolResultClose.get(), content_text.get()}));
}

// `entry.get(key, entry.get("function", {}).get(key, fallback))`, in Python's
// order: the outer method is looked up first, then the nested reads run.
Ref read_call_field(PyObject* entry, PyObject* key, PyObject* nested_fallback, int line) {
    const rt::Site& site = kMessagesSite;
    GetMethod outer;
    site.status(line, outer.bind(entry));
    Ref empty = site.at(line, PyDict_New());
    Ref function = site.at(line, get_or(entry, kFunction.get(), empty.get()));
    Ref nested = site.at(line, get_or(function.get(), key, nested_fallback));
    return site.at(line, outer.call(key, nested.get()));
}

// `json.loads(text)`; empty with the exception set (carrying the entry of
// line 187) on failure, reported without a C++ throw since text that is not
// JSON is an ordinary outcome here.
Ref load_json(PyObject* text) {
    Ref json = lookup_global(kJsonName.get());
    if (json) {
        Ref loads = module_attribute(json.get(), kLoads.get());
        if (loads) {
            Ref decoded = Ref::steal(PyObject_CallOneArg(loads.get(), text));
            if (decoded) return decoded;
        }
    }
    rt::add_traceback(kTracebackFormatMessages, 187, rt::traceback_globals());
    return {};
}

// `json.loads(text)`, keeping the text when the call raises a
// `json.JSONDecodeError`. Any other exception propagates.
Ref decode_arguments(Ref text) {
    Ref decoded = load_json(text.get());
    if (decoded) return decoded;
    Ref error = take_raised_exception();
    int matches;
    {
        // The failure is the exception being handled while the clause is matched.
        HandlingScope handling(error.get());
        matches = is_json_decode_error(error.get());
    }
    if (matches < 0) kMessagesSite.fail(188);
    if (matches == 0) {
        PyErr_SetRaisedException(error.release());
        throw rt::PythonError{};
    }
    return text;
}

// The same read for an exact dict entry, whose `get` is dict.get: the new
// empty dict that stands in for a missing "function" is only ever read, and
// reading it gives the fallback, so it is not made. The fallback itself is
// made only when something receives it: an object's own `get`, or the caller
// when neither level has the key. The lookups run in the same order.
template <class MakeFallback>
Ref read_exact_call_field(PyObject* entry, PyObject* key, MakeFallback make_fallback, int line) {
    const rt::Site& site = kMessagesSite;
    PyObject* raw = nullptr;
    site.status(line, PyDict_GetItemRef(entry, kFunction.get(), &raw));
    Ref function = Ref::steal(raw);
    Ref nested;  // stays empty when the nested read gives the fallback
    if (function && PyDict_CheckExact(function.get())) {
        raw = nullptr;
        site.status(line, PyDict_GetItemRef(function.get(), key, &raw));
        nested = Ref::steal(raw);
    } else if (function) {
        Ref fallback = make_fallback();
        nested = site.at(line, get_or(function.get(), key, fallback.get()));
    }
    function.reset();
    raw = nullptr;
    site.status(line, PyDict_GetItemRef(entry, key, &raw));
    if (raw != nullptr) return Ref::steal(raw);
    return nested ? std::move(nested) : make_fallback();
}

// "[Assistant called <name>]: <brief>" for one dict entry of "tool_calls".
void add_tool_call_line(TextBuilder& lines, PyObject* entry) {
    const rt::Site& site = kMessagesSite;
    Ref name;
    Ref args;
    if (PyDict_CheckExact(entry)) {
        name = read_exact_call_field(entry, kName.get(), [] { return Ref::borrow(kUnknown.get()); }, 183);
        args = read_exact_call_field(entry, kArguments.get(), [&] { return site.at(184, PyDict_New()); }, 184);
    } else {
        name = read_call_field(entry, kName.get(), kUnknown.get(), 183);
        Ref no_arguments = site.at(184, PyDict_New());
        args = read_call_field(entry, kArguments.get(), no_arguments.get(), 184);
    }
    if (site.status(185, is_instance(args.get(), &PyUnicode_Type))) args = decode_arguments(std::move(args));

    if (!site.status(191, is_instance(args.get(), &PyDict_Type))) {
        // The first 200 characters of `str(args)`. An exact str formats to
        // itself and is cut as a piece; a str subclass is cut by its own
        // slicing, and the cut is formatted after the name.
        Ref text = site.at(191, PyObject_Str(args.get()));
        const bool exact = PyUnicode_CheckExact(text.get());
        if (!exact) text = site.at(191, slice_prefix(text.get(), kPlainArgumentsLimit));
        Ref name_text = site.at(192, format_text(name.get()));
        if (!exact) text = site.at(192, format_text(text.get()));
        site.status(192, lines.part(tool_call_opening(), {name_text.get(), kCallClose.get(),
                                     exact ? Piece(text.get(), kPlainArgumentsLimit) : Piece(text.get())}));
        return;
    }
    // Through the module global and the full call binding: a rebound
    // `_brief_args` is honoured and a dict subclass is refused.
    Ref brief_args_function = site.at(191, lookup_global(kBriefArgsName.get()));
    PyObject* call_args[] = {nullptr, args.get()};
    Ref brief = site.at(191, PyObject_Vectorcall(brief_args_function.get(), call_args + 1,
                                                 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    Ref name_text = site.at(192, format_text(name.get()));
    Ref brief_text = site.at(192, format_text(brief.get()));
    site.status(192, lines.part(tool_call_opening(), {name_text.get(), kCallClose.get(), brief_text.get()}));
}

void add_assistant_lines(TextBuilder& lines, PyObject* message, PyObject* content) {
    const rt::Site& site = kMessagesSite;
    if (site.status(178, is_true(content))) {
        Ref content_text = site.at(179, format_text(content));
        site.status(179, lines.part(assistant_opening(), {content_text.get()}));
    }
    {
        Ref probe = site.at(180, get_or_none(message, kToolCalls.get()));
        if (!site.status(180, is_true(probe.get()))) return;
    }
    Ref tool_calls = site.at(181, PyObject_GetItem(message, kToolCalls.get()));
    ForLoop loop;
    site.status(181, loop.start(tool_calls.get()));
    Ref entry;
    while (site.status(181, loop.next(entry))) {
        if (site.status(182, is_instance(entry.get(), &PyDict_Type))) add_tool_call_line(lines, entry.get());
    }
}

// The reads of one message that happen before its role is examined.
struct MessageHead {
    Ref role;
    Ref content;
    // "tool_call_id" when the walk below found it; used only for an exact str
    // role, whose tests run no code between the reads.
    Ref tool_id;
    bool has_tool_id = false;
};

// `msg.get("role", "unknown")` and `msg.get("content", "")`. A small exact
// dict whose keys are all exact str is answered by one walk over its entries:
// with such keys no Python code runs, and the entry whose key has the same
// characters is the one a lookup finds. Other records go through `get`.
MessageHead read_head(PyObject* message) {
    constexpr Py_ssize_t kScanLimit = 8;
    MessageHead head;
    if (PyDict_CheckExact(message) && PyDict_GET_SIZE(message) <= kScanLimit) {
        PyObject* role = nullptr;
        PyObject* content = nullptr;
        PyObject* tool_id = nullptr;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool plain_keys = true;
        while (PyDict_Next(message, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                plain_keys = false;
                break;
            }
            if (role == nullptr && same_text(key, kRole.get())) {
                role = value;
            } else if (content == nullptr && same_text(key, kContent.get())) {
                content = value;
            } else if (tool_id == nullptr && same_text(key, kToolCallId.get())) {
                tool_id = value;
            }
        }
        if (plain_keys) {
            head.role = Ref::borrow(role != nullptr ? role : kUnknown.get());
            head.content = Ref::borrow(content != nullptr ? content : kEmptyText.get());
            head.tool_id = Ref::borrow(tool_id != nullptr ? tool_id : kUnknown.get());
            head.has_tool_id = PyUnicode_CheckExact(head.role.get());
            return head;
        }
    }
    head.role = kMessagesSite.at(165, get_or(message, kRole.get(), kUnknown.get()));
    head.content = kMessagesSite.at(166, get_or(message, kContent.get(), kEmptyText.get()));
    return head;
}

}  // namespace

PyObject* format_messages_for_summary(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        const rt::Site& site = kMessagesSite;
        PyObject* messages = args[0];
        TextBuilder lines(kLineBreak.get());
        lines.reserve(4 * static_cast<size_t>(PyList_GET_SIZE(messages)));
        // The length is read before every step: a message's own code may
        // shrink or grow the list while it is walked.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(messages); ++index) {
            prefetch_records(messages, index);
            Ref message = Ref::borrow(PyList_GET_ITEM(messages, index));
            MessageHead head = read_head(message.get());
            switch (classify(head.role.get())) {
                case Role::Tool: {
                    Ref tool_id = head.has_tool_id
                                      ? std::move(head.tool_id)
                                      : site.at(173, get_or(message.get(), kToolCallId.get(), kUnknown.get()));
                    add_tool_line(lines, std::move(tool_id), std::move(head.content));
                    break;
                }
                case Role::Assistant:
                    add_assistant_lines(lines, message.get(), head.content.get());
                    break;
                case Role::User: {
                    Ref content_text = site.at(194, format_text(head.content.get()));
                    site.status(194, lines.part(user_opening(), {content_text.get()}));
                    break;
                }
                case Role::System:
                case Role::Other:
                    break;
            }
        }
        return site.at(196, lines.build()).release();
    });
}

PyObject* brief_args(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        const rt::Site& site = kBriefSite;
        PyObject* arguments = args[0];
        TextBuilder parts(kPartSeparator.get());
        const Py_ssize_t start_size = PyDict_GET_SIZE(arguments);
        // A walk yields at most as many items as the dict held at the start.
        Py_ssize_t remaining = start_size;
        Py_ssize_t position = 0;
        PyObject* raw_key = nullptr;
        PyObject* raw_value = nullptr;
        for (;;) {
            // `str(v)` may add or remove keys of this very dict.
            if (PyDict_GET_SIZE(arguments) != start_size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                site.fail(202);
            }
            if (!PyDict_Next(arguments, &position, &raw_key, &raw_value)) break;
            // Keys removed and as many added keep the size but not the walk.
            if (remaining-- == 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                site.fail(202);
            }
            Ref key = Ref::borrow(raw_key);
            Ref value = Ref::borrow(raw_value);
            Ref value_text = site.at(203, str_text(value.get()));
            // A long value shows its first 100 characters and "...". An exact
            // str is cut as a piece of the result; a str subclass is
            // measured, cut and formatted by its own methods.
            const bool exact = PyUnicode_CheckExact(value_text.get());
            bool cut = false;
            if (exact) {
                cut = PyUnicode_GET_LENGTH(value_text.get()) > kArgumentValueLimit;
            } else {
                const Py_ssize_t length = length_of(value_text.get());
                if (length < 0) site.fail(204);
                if (length > kArgumentValueLimit) {
                    value_text = site.at(205, cut_with_marker(value_text.get(), kArgumentValueLimit, kEllipsis.get()));
                }
            }
            Ref key_text = site.at(206, format_text(key.get()));
            if (!exact) value_text = site.at(206, format_text(value_text.get()));
            site.status(206, parts.part({key_text.get(), kEquals.get(),
                                         exact ? Piece(value_text.get(), kArgumentValueLimit) : Piece(value_text.get()),
                                         cut ? kEllipsis.get() : kEmptyText.get()}));
        }
        return site.at(207, parts.build()).release();
    });
}

}  // namespace korbix::summarizer
