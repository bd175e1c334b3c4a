// `_fallback_summary`: a Summary record from the messages alone.
#include "../runtime/errors.hpp"
#include "../runtime/traceback.hpp"
#include "entries.hpp"
#include "lines.hpp"
#include "protocol.hpp"
#include "record.hpp"
#include "text.hpp"
#include "texts.hpp"

namespace korbix::summarizer {
namespace {

using rt::Ref;
namespace at = line::fallback_summary;

constexpr Py_ssize_t kRequestLimit = 200;

constexpr rt::Site kSite = site_of(Fn::fallback_summary);

// Collects the content of every user message with a true content, each cut
// to 200 items plus "...". All of them are read (and cut), although only the
// first is kept: a later content that cannot be measured still fails.
void collect_requests(PyObject* messages, PyObject* goals) {
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(messages); ++index) {
        prefetch_records(messages, index);
        Ref message = Ref::borrow(PyList_GET_ITEM(messages, index));
        {
            Ref role = kSite.at(at::test_message, get_or_none(message.get(), str::role));
            if (!kSite.status(at::test_message, equals_text(role.get(), str::user))) continue;
        }
        {
            Ref probe = kSite.at(at::test_message, get_or_none(message.get(), str::content));
            if (!kSite.status(at::test_message, is_true(probe.get()))) continue;
        }
        Ref content = kSite.at(at::get_content, PyObject_GetItem(message.get(), str::content));
        const Py_ssize_t length = length_of(content.get());
        if (length < 0) kSite.fail(at::measure_content);
        if (length > kRequestLimit) {
            content = kSite.at(at::cut_content, cut_with_marker(content.get(), kRequestLimit, str::ellipsis));
        }
        kSite.status(at::append, PyList_Append(goals, content.get()));
    }
}

}  // namespace

PyObject* fallback_summary(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        PyObject* messages = args[0];
        Ref goals = kSite.at(at::goals, PyList_New(0));
        Ref progress = kSite.at(at::progress, PyList_New(0));
        collect_requests(messages, goals.get());
        if (PyList_GET_SIZE(goals.get()) > 0) {
            Ref first_only = kSite.at(at::first_goal, PyList_New(1));
            PyList_SET_ITEM(first_only.get(), 0, Py_NewRef(PyList_GET_ITEM(goals.get(), 0)));
            goals = std::move(first_only);
        }
        const Py_ssize_t count = PyList_GET_SIZE(messages);
        return build_record(kSite, at::record, [&](const RecordField& field, int line) -> Ref {
                   if (field.key == &str::goals) return goals.copy();
                   if (field.key == &str::progress) return progress.copy();
                   if (field.key == &str::current_state) {
                       return kSite.at(line, ascii_with_number("Conversation had ", count,
                                                               " messages before summarization"));
                   }
                   if (field.key == &str::summary) {
                       Ref head = kSite.at(line, ascii_with_number("Conversation with ", count,
                                                                   " messages. Primary request: "));
                       Ref request = Ref::borrow(PyList_GET_SIZE(goals.get()) > 0 ? PyList_GET_ITEM(goals.get(), 0)
                                                                                  : str::unknown);
                       Ref request_text = kSite.at(line, format_text(request.get()));
                       return kSite.at(line, PyUnicode_Concat(head.get(), request_text.get()));
                   }
                   return default_value(kSite, field, line);
               })
            .release();
    });
}

}  // namespace korbix::summarizer
