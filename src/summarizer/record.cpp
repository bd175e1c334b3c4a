// The record's defaults and `_empty_summary`.
#include "record.hpp"

#include "entries.hpp"
#include "lines.hpp"
#include "protocol.hpp"
#include "state.hpp"

namespace korbix::summarizer {
namespace {

// `time.time()`: the module global `time` resolved now, its attribute `time`.
rt::Ref current_time() {
    rt::Ref time_module = lookup_global(str::time);
    if (!time_module) return {};
    rt::Ref time_function = module_attribute(time_module.get(), str::time);
    if (!time_function) return {};
    return rt::Ref::steal(PyObject_CallNoArgs(time_function.get()));
}

}  // namespace

rt::Ref default_value(const rt::Site& site, const RecordField& field, int line) {
    switch (field.fallback) {
        case Default::empty_list:
            return site.at(line, PyList_New(0));
        case Default::empty_text:
            return rt::Ref::borrow(str::empty);
        case Default::time_stamp:
            break;
    }
    return site.at(line, current_time());
}

PyObject* empty_summary(FunctionObject*, PyObject* const*) noexcept {
    return rt::boundary([] {
        constexpr rt::Site site = site_of(Fn::empty_summary);
        return build_record(site, line::empty_summary::record, [&](const RecordField& field, int line) {
                   return default_value(site, field, line);
               })
            .release();
    });
}

}  // namespace korbix::summarizer
