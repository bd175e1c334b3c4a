// The Summary record: its fields in insertion order with their defaults, and
// the one builder that `_empty_summary`, the parser and the fallback share.
#pragma once

#include <Python.h>

#include <iterator>

#include "../runtime/ref.hpp"
#include "../runtime/traceback.hpp"
#include "texts.hpp"

namespace korbix::summarizer {

enum class Default : unsigned char {
    empty_list,  // a new []
    empty_text,  // ""
    time_stamp,  // time.time(), the module global `time` resolved now
};

struct RecordField {
    PyObject* const* key;
    Default fallback;
};

// The record's fields, in insertion order.
inline constexpr RecordField kRecordFields[] = {
    {&str::goals, Default::empty_list},         {&str::progress, Default::empty_list},
    {&str::current_state, Default::empty_text}, {&str::key_decisions, Default::empty_list},
    {&str::key_facts, Default::empty_list},     {&str::blockers, Default::empty_list},
    {&str::next_steps, Default::empty_list},    {&str::summary, Default::empty_text},
    {&str::created_at, Default::time_stamp},
};
inline constexpr int kRecordFieldCount = static_cast<int>(std::size(kRecordFields));

// The default value of `field`, made at source line `line`.
rt::Ref default_value(const rt::Site& site, const RecordField& field, int line);

// A new record written as a dict literal at source line `line`, one field per
// line: field i's value is made at `line + i` by `value_of(field, line + i)`,
// which returns an owned reference (or fails through `site`), in field order;
// the dict and its stores fail at `line`.
template <class ValueOf>
rt::Ref build_record(const rt::Site& site, int line, ValueOf&& value_of) {
    rt::Ref record = site.at(line, PyDict_New());
    int field_line = line;
    for (const RecordField& field : kRecordFields) {
        rt::Ref value = value_of(field, field_line++);
        site.status(line, PyDict_SetItem(record.get(), *field.key, value.get()));
    }
    return record;
}

}  // namespace korbix::summarizer
