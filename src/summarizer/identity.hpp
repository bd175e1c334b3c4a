// What the module calls itself: its import name, and the source file that
// its code objects and traceback entries name. A macro, so that the dotted
// names of the function table are literals built from it.
#pragma once

#define KORBIX_SUMMARIZER_MODULE_NAME "korbix.core.summarizer"

namespace korbix::summarizer {

inline constexpr const char kSourceFile[] = "korbix/core/summarizer.pyx";

}  // namespace korbix::summarizer
