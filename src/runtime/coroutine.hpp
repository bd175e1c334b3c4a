// The module's coroutine type and its await wrapper.
#pragma once

#include <Python.h>

namespace korbix::rt {

// Readies the coroutine and coroutine_wrapper types; call once at start-up.
bool coroutine_types_ready() noexcept;

}  // namespace korbix::rt
