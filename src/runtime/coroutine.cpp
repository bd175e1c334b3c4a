#include "coroutine.hpp"

namespace korbix::rt {

bool coroutine_types_ready() noexcept { return true; }

}  // namespace korbix::rt
