// `_empty_summary`: the Summary record in its empty form.
#include "record.hpp"

#include "../runtime/traceback.hpp"
#include "logic.hpp"
#include "protocol.hpp"
#include "state.hpp"

namespace korbix::summarizer {

extern const Text kGoals{"goals"};
extern const Text kProgress{"progress"};
extern const Text kCurrentState{"current_state"};
extern const Text kKeyDecisions{"key_decisions"};
extern const Text kKeyFacts{"key_facts"};
extern const Text kBlockers{"blockers"};
extern const Text kNextSteps{"next_steps"};
extern const Text kSummary{"summary"};
extern const Text kCreatedAt{"created_at"};
extern const Text kEmptyText{""};

namespace {
const Text kTimeName{"time"};
}  // namespace

rt::Ref current_time() noexcept {
    rt::Ref time_module = lookup_global(kTimeName.get());
    if (!time_module) return {};
    rt::Ref time_function = module_attribute(time_module.get(), kTimeName.get());
    if (!time_function) return {};
    return rt::Ref::steal(PyObject_CallNoArgs(time_function.get()));
}

PyObject* empty_summary(FunctionObject*, PyObject* const*) noexcept {
    return rt::boundary([] {
        constexpr rt::Site site{kTracebackEmptySummary};
        rt::Ref record = site.at(262, PyDict_New());
        PyObject* dict = record.get();
        site.status(262, PyDict_SetItem(dict, kGoals.get(), site.at(262, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kProgress.get(), site.at(263, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kCurrentState.get(), kEmptyText.get()));
        site.status(262, PyDict_SetItem(dict, kKeyDecisions.get(), site.at(265, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kKeyFacts.get(), site.at(266, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kBlockers.get(), site.at(267, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kNextSteps.get(), site.at(268, PyList_New(0)).get()));
        site.status(262, PyDict_SetItem(dict, kSummary.get(), kEmptyText.get()));
        site.status(262, PyDict_SetItem(dict, kCreatedAt.get(), site.at(270, current_time()).get()));
        return record.release();
    });
}

}  // namespace korbix::summarizer
