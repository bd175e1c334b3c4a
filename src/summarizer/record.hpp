// The Summary record: keys and the pieces every builder of a record shares.
#pragma once

#include <Python.h>

#include "../runtime/ref.hpp"
#include "constants.hpp"

namespace korbix::summarizer {

// The record's keys, in insertion order.
extern const Text kGoals;
extern const Text kProgress;
extern const Text kCurrentState;
extern const Text kKeyDecisions;
extern const Text kKeyFacts;
extern const Text kBlockers;
extern const Text kNextSteps;
extern const Text kSummary;
extern const Text kCreatedAt;
extern const Text kEmptyText;  // ""

// A new empty dict with room for the record's nine keys, so that filling it
// never resizes it. Empty with an exception set on failure.
inline rt::Ref new_record_dict() noexcept { return rt::Ref::steal(_PyDict_NewPresized(9)); }

// The time stamp of a record built now: the module global `time` resolved at
// this moment, its attribute `time`, called without arguments. Empty with an
// exception set on failure.
rt::Ref current_time() noexcept;

}  // namespace korbix::summarizer
