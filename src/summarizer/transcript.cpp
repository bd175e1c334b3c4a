// `_format_messages_for_summary` and `_brief_args`: the Transcript.
#include "../runtime/errors.hpp"
#include "../runtime/function.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "protocol.hpp"
#include "state.hpp"
#include "text.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;
namespace at = line::format_messages_for_summary;

constexpr Py_ssize_t kToolResultLimit = 500;
constexpr Py_ssize_t kArgumentValueLimit = 100;
constexpr Py_ssize_t kPlainArgumentsLimit = 200;

constexpr rt::Site kSite = site_of(Fn::format_messages_for_summary);
constexpr rt::Site kBriefSite = site_of(Fn::brief_args);

enum class Role { System, Tool, Assistant, User, Other };

// The role tests, in their order; each `==` may run the role's own code.
Role classify(PyObject* role) {
    if (kSite.status(at::is_system, equals_text(role, str::system))) return Role::System;
    if (kSite.status(at::is_tool, equals_text(role, str::tool))) return Role::Tool;
    if (kSite.status(at::is_assistant, equals_text(role, str::assistant))) return Role::Assistant;
    if (kSite.status(at::is_user, equals_text(role, str::user))) return Role::User;
    return Role::Other;
}

// Fast path of a tool result cut after 500 characters, for an exact str:
// `content[:500] + "... [truncated]"` formats to itself, so the line takes
// the content's prefix and the marker as pieces, and the cut is never made.
void add_cut_tool_line(TextBuilder& lines, PyObject* tool_id, PyObject* content) {
    Ref id_text = kSite.at(at::tool_line, format_text(tool_id));
    kSite.status(at::tool_line, lines.part({str::tool_result_open, id_text.get(), str::paren_bracket_colon,
                                            Piece(content, kToolResultLimit), str::ellipsis_truncated}));
}

// "[Tool Result (<id>)]: <content>", the content cut after 500 items.
void add_tool_line(TextBuilder& lines, PyObject* message, Ref content) {
    Ref tool_id = kSite.at(at::get_tool_id, get_or(message, str::tool_call_id, str::unknown));
    bool cut = false;
    if (kSite.status(at::measure_result, is_true(content.get()))) {
        const Py_ssize_t length = length_of(content.get());
        if (length < 0) kSite.fail(at::measure_result);
        cut = length > kToolResultLimit;
    }
    if (cut && PyUnicode_CheckExact(content.get())) {
        add_cut_tool_line(lines, tool_id.get(), content.get());
        return;
    }
    if (cut) content = kSite.at(at::cut_result, cut_with_marker(content.get(), kToolResultLimit, str::ellipsis_truncated));
    Ref id_text = kSite.at(at::tool_line, format_text(tool_id.get()));
    Ref content_text = kSite.at(at::tool_line, format_text(content.get()));
    kSite.status(at::tool_line, lines.part({str::tool_result_open, id_text.get(), str::paren_bracket_colon,
                                            content_text.get()}));
}

// `entry.get(key, entry.get("function", {}).get(key, fallback))`, in Python's
// order: the outer method is looked up first, then the nested reads run.
Ref read_call_field(PyObject* entry, PyObject* key, PyObject* nested_fallback, int line) {
    GetMethod outer;
    kSite.status(line, outer.bind(entry));
    Ref empty = kSite.at(line, PyDict_New());
    Ref function = kSite.at(line, get_or(entry, str::function, empty.get()));
    Ref nested = kSite.at(line, get_or(function.get(), key, nested_fallback));
    return kSite.at(line, outer.call(key, nested.get()));
}

// Fast path of the same read for an exact dict entry, whose `get` is
// dict.get: the new empty dict that stands in for a missing "function" is
// only ever read, and reading it gives the fallback, so it is not made. The
// fallback itself is made only when something receives it: an object's own
// `get`, or the caller when neither level has the key. The lookups run in
// the same order.
template <class MakeFallback>
Ref read_exact_call_field(PyObject* entry, PyObject* key, MakeFallback make_fallback, int line) {
    PyObject* raw = nullptr;
    kSite.status(line, PyDict_GetItemRef(entry, str::function, &raw));
    Ref function = Ref::steal(raw);
    Ref nested;  // stays empty when the nested read gives the fallback
    if (function && PyDict_CheckExact(function.get())) {
        raw = nullptr;
        kSite.status(line, PyDict_GetItemRef(function.get(), key, &raw));
        nested = Ref::steal(raw);
    } else if (function) {
        Ref fallback = make_fallback();
        nested = kSite.at(line, get_or(function.get(), key, fallback.get()));
    }
    function.reset();
    raw = nullptr;
    kSite.status(line, PyDict_GetItemRef(entry, key, &raw));
    if (raw != nullptr) return Ref::steal(raw);
    return nested ? std::move(nested) : make_fallback();
}

// `json.loads(text)`, keeping the text when the call raises a
// `json.JSONDecodeError`; any other exception propagates. Text that is not
// JSON is an ordinary outcome here, so the call's failure comes back without
// a throw.
Ref decode_arguments(Ref text) {
    constexpr auto expected = site_of<rt::Policy::expected>(Fn::format_messages_for_summary);
    Ref decoded = call_json_loads(expected, at::loads, text.get());
    if (decoded) return decoded;
    DecodeErrorClause clause;
    if (kSite.status(at::except_decode_error, clause.matches()) == 0) clause.reraise();
    return text;
}

// Fast path of a long argument value whose text is an exact str:
// `val_str[:100] + "..."` formats to itself, so the part takes the text's
// prefix and the marker as pieces, and the cut is never made.
template <class Parts>
void add_cut_argument(Parts& parts, PyObject* key, PyObject* value_text) {
    namespace at = line::brief_args;
    Ref key_text = kBriefSite.at(at::part, format_text(key));
    kBriefSite.status(at::part,
                      parts.part({key_text.get(), str::equals, Piece(value_text, kArgumentValueLimit), str::ellipsis}));
}

// The "<key>=<value>" parts of `_brief_args(arguments)`, for an exact dict,
// each through `parts.part`, which puts ", " between them.
template <class Parts>
void write_brief(Parts& parts, PyObject* arguments) {
    namespace at = line::brief_args;
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
            kBriefSite.fail(at::loop);
        }
        if (!PyDict_Next(arguments, &position, &raw_key, &raw_value)) break;
        // Keys removed and as many added keep the size but not the walk.
        if (remaining-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            kBriefSite.fail(at::loop);
        }
        Ref key = Ref::borrow(raw_key);
        Ref value = Ref::borrow(raw_value);
        // A long value shows its first 100 characters and "...".
        Ref value_text = kBriefSite.at(at::str_value, str_text(value.get()));
        const Py_ssize_t length = length_of(value_text.get());
        if (length < 0) kBriefSite.fail(at::measure_value);
        if (length > kArgumentValueLimit && PyUnicode_CheckExact(value_text.get())) {
            add_cut_argument(parts, key.get(), value_text.get());
            continue;
        }
        if (length > kArgumentValueLimit) {
            value_text = kBriefSite.at(at::cut_value, cut_with_marker(value_text.get(), kArgumentValueLimit, str::ellipsis));
        }
        Ref key_text = kBriefSite.at(at::part, format_text(key.get()));
        value_text = kBriefSite.at(at::part, format_text(value_text.get()));
        kBriefSite.status(at::part, parts.part({key_text.get(), str::equals, value_text.get()}));
    }
}

// The brief's parts written at the end of the current line of the
// transcript, ", " between them.
class BriefInLine {
public:
    explicit BriefInLine(TextBuilder& line) noexcept : line_(line) {}
    int part(std::initializer_list<Piece> pieces) noexcept {
        if (started_ && line_.append({str::comma_space}) < 0) return -1;
        started_ = true;
        return line_.append(pieces);
    }

private:
    TextBuilder& line_;
    bool started_ = false;
};

// Whether `function` is the module's own `_brief_args` (the function type
// has no subclasses, and its definition tells which function it is).
bool is_own_brief_args(PyObject* function) noexcept {
    return Py_IS_TYPE(function, rt::function_type()) &&
           reinterpret_cast<rt::FunctionObject*>(function)->def == &row_of(Fn::brief_args).def;
}

// Fast path of "[Assistant called <name>]: " + `_brief_args(args)` when the
// global is still the module's own function, `args` an exact dict (which its
// binding accepts) and `name` an exact str (which formats to itself, so
// writing it first changes nothing): the brief's parts go into the line
// itself, and the brief is never made as a text of its own. What the call
// would do around them stays: it counts against the recursion limit, and a
// failure gets the brief's entry, then this line's.
void add_call_line_with_brief(TextBuilder& lines, PyObject* name, PyObject* arguments) {
    kSite.status(at::call_line, lines.part({str::assistant_called, name, str::bracket_colon}));
    if (rt::enter_recursive_call() != 0) kSite.fail(at::is_dict_arguments);
    const int written = rt::boundary([&] {
        BriefInLine parts(lines);
        write_brief(parts, arguments);
        return 0;
    });
    Py_LeaveRecursiveCall();
    kSite.status(at::is_dict_arguments, written);
}

// "[Assistant called <name>]: <brief>" for one dict entry of "tool_calls".
void add_tool_call_line(TextBuilder& lines, PyObject* entry) {
    Ref name;
    Ref args;
    if (PyDict_CheckExact(entry)) {
        name = read_exact_call_field(entry, str::name, [] { return Ref::borrow(str::unknown); }, at::get_name);
        args = read_exact_call_field(entry, str::arguments, [] { return kSite.at(at::get_arguments, PyDict_New()); },
                                     at::get_arguments);
    } else {
        name = read_call_field(entry, str::name, str::unknown, at::get_name);
        Ref no_arguments = kSite.at(at::get_arguments, PyDict_New());
        args = read_call_field(entry, str::arguments, no_arguments.get(), at::get_arguments);
    }
    if (kSite.status(at::is_text_arguments, is_instance(args.get(), &PyUnicode_Type))) {
        args = decode_arguments(std::move(args));
    }
    Ref brief;
    if (kSite.status(at::is_dict_arguments, is_instance(args.get(), &PyDict_Type))) {
        // Through the module global: a rebound `_brief_args` is honoured, and
        // the binding's checks refuse a dict subclass.
        Ref brief_args_function = kSite.at(at::is_dict_arguments, lookup_global(name_of(Fn::brief_args)));
        if (is_own_brief_args(brief_args_function.get()) && PyDict_CheckExact(args.get()) &&
            PyUnicode_CheckExact(name.get())) {
            add_call_line_with_brief(lines, name.get(), args.get());
            return;
        }
        brief = kSite.at(at::is_dict_arguments, PyObject_CallOneArg(brief_args_function.get(), args.get()));
    } else {
        Ref text = kSite.at(at::is_dict_arguments, PyObject_Str(args.get()));
        brief = kSite.at(at::is_dict_arguments, slice_prefix(text.get(), kPlainArgumentsLimit));
    }
    Ref name_text = kSite.at(at::call_line, format_text(name.get()));
    Ref brief_text = kSite.at(at::call_line, format_text(brief.get()));
    kSite.status(at::call_line,
                 lines.part({str::assistant_called, name_text.get(), str::bracket_colon, brief_text.get()}));
}

void add_assistant_lines(TextBuilder& lines, PyObject* message, PyObject* content) {
    if (kSite.status(at::test_content, is_true(content))) {
        Ref content_text = kSite.at(at::assistant_line, format_text(content));
        kSite.status(at::assistant_line, lines.part({str::assistant_tag, content_text.get()}));
    }
    {
        Ref probe = kSite.at(at::test_tool_calls, get_or_none(message, str::tool_calls));
        if (!kSite.status(at::test_tool_calls, is_true(probe.get()))) return;
    }
    Ref tool_calls = kSite.at(at::loop_tool_calls, PyObject_GetItem(message, str::tool_calls));
    ForLoop loop;
    kSite.status(at::loop_tool_calls, loop.start(tool_calls.get()));
    Ref entry;
    while (kSite.status(at::loop_tool_calls, loop.next(entry))) {
        if (kSite.status(at::is_dict_call, is_instance(entry.get(), &PyDict_Type))) {
            add_tool_call_line(lines, entry.get());
        }
    }
}

}  // namespace

PyObject* format_messages_for_summary(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        PyObject* messages = args[0];
        TextBuilder lines(str::nl);
        lines.reserve(5 * static_cast<size_t>(PyList_GET_SIZE(messages)));
        // The length is read before every step: a message's own code may
        // shrink or grow the list while it is walked.
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(messages); ++index) {
            Ref message = Ref::borrow(PyList_GET_ITEM(messages, index));
            Ref role = kSite.at(at::get_role, get_or(message.get(), str::role, str::unknown));
            Ref content = kSite.at(at::get_content, get_or(message.get(), str::content, str::empty));
            switch (classify(role.get())) {
                case Role::Tool:
                    add_tool_line(lines, message.get(), std::move(content));
                    break;
                case Role::Assistant:
                    add_assistant_lines(lines, message.get(), content.get());
                    break;
                case Role::User: {
                    Ref content_text = kSite.at(at::user_line, format_text(content.get()));
                    kSite.status(at::user_line, lines.part({str::user_tag, content_text.get()}));
                    break;
                }
                case Role::System:
                case Role::Other:
                    break;
            }
        }
        return kSite.at(at::join, lines.build()).release();
    });
}

PyObject* brief_args(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        PyObject* arguments = args[0];
        TextBuilder parts(str::comma_space);
        parts.reserve(5 * static_cast<size_t>(PyDict_GET_SIZE(arguments)));
        write_brief(parts, arguments);
        return kBriefSite.at(line::brief_args::join, parts.build()).release();
    });
}

}  // namespace korbix::summarizer
