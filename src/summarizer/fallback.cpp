// `_fallback_summary`: a Summary record from the messages alone.
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

const Text kRole{"role"};
const Text kContent{"content"};
const Text kUser{"user"};
const Text kUnknown{"unknown"};
const Text kEllipsis{"..."};

constexpr Py_ssize_t kRequestLimit = 200;

constexpr rt::Site kSite{kTracebackFallbackSummary};

// Collects the content of every user message with a true content, each cut
// to 200 items plus "...". All of them are read (and cut), although only the
// first is kept: a later content that cannot be measured still fails.
void collect_requests(PyObject* messages, PyObject* goals) {
    const rt::Site& site = kSite;
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(messages); ++index) {
        prefetch_records(messages, index);
        Ref message = Ref::borrow(PyList_GET_ITEM(messages, index));
        {
            Ref role = site.at(280, get_or_none(message.get(), kRole.get()));
            if (!site.status(280, equals_text(role.get(), kUser.get()))) continue;
        }
        {
            Ref probe = site.at(280, get_or_none(message.get(), kContent.get()));
            if (!site.status(280, is_true(probe.get()))) continue;
        }
        Ref content = site.at(281, PyObject_GetItem(message.get(), kContent.get()));
        const Py_ssize_t length = length_of(content.get());
        if (length < 0) site.fail(282);
        if (length > kRequestLimit) content = site.at(283, cut_with_marker(content.get(), kRequestLimit, kEllipsis.get()));
        site.status(284, PyList_Append(goals, content.get()));
    }
}

}  // namespace

PyObject* fallback_summary(FunctionObject*, PyObject* const* args) noexcept {
    return rt::boundary([&] {
        const rt::Site& site = kSite;
        PyObject* messages = args[0];
        Ref goals = site.at(276, PyList_New(0));
        Ref progress = site.at(277, PyList_New(0));
        collect_requests(messages, goals.get());
        if (PyList_GET_SIZE(goals.get()) > 0) {
            Ref first_only = site.at(288, PyList_New(1));
            PyList_SET_ITEM(first_only.get(), 0, Py_NewRef(PyList_GET_ITEM(goals.get(), 0)));
            goals = std::move(first_only);
        }

        Ref record = site.at(291, new_record_dict());
        PyObject* dict = record.get();
        site.status(291, PyDict_SetItem(dict, kGoals.get(), goals.get()));
        site.status(291, PyDict_SetItem(dict, kProgress.get(), progress.get()));
        Ref state_text = site.at(293, ascii_with_number("Conversation had ", PyList_GET_SIZE(messages),
                                                        " messages before summarization"));
        site.status(291, PyDict_SetItem(dict, kCurrentState.get(), state_text.get()));
        site.status(291, PyDict_SetItem(dict, kKeyDecisions.get(), site.at(294, PyList_New(0)).get()));
        site.status(291, PyDict_SetItem(dict, kKeyFacts.get(), site.at(295, PyList_New(0)).get()));
        site.status(291, PyDict_SetItem(dict, kBlockers.get(), site.at(296, PyList_New(0)).get()));
        site.status(291, PyDict_SetItem(dict, kNextSteps.get(), site.at(297, PyList_New(0)).get()));
        {
            Ref head = site.at(298, ascii_with_number("Conversation with ", PyList_GET_SIZE(messages),
                                                      " messages. Primary request: "));
            Ref request = PyList_GET_SIZE(goals.get()) > 0 ? Ref::borrow(PyList_GET_ITEM(goals.get(), 0))
                                                           : Ref::borrow(kUnknown.get());
            Ref request_text = site.at(298, format_text(request.get()));
            TextBuilder summary(kEmptyText.get());
            site.status(298, summary.part({head.get(), request_text.get()}));
            site.status(291, PyDict_SetItem(dict, kSummary.get(), site.at(298, summary.build()).get()));
        }
        site.status(291, PyDict_SetItem(dict, kCreatedAt.get(), site.at(299, current_time()).get()));
        return record.release();
    });
}

}  // namespace korbix::summarizer
