// The process's file-creation mask, read without changing it. umask(2) reads
// the mask only by setting it, and the mask is process-wide: setting and
// restoring it races with any other thread creating a file (or forking a
// child) meanwhile, which would then get the wrong mode. Thread: any.
#ifndef ZY_PLATFORM_UMASK_H_
#define ZY_PLATFORM_UMASK_H_

#include <sys/types.h>

namespace zy {

// The mask now, from /proc/self/status; where that line is missing (an
// older kernel, no /proc), the mask read once while the program was loaded,
// before main started any thread.
mode_t currentUmask();

}  // namespace zy

#endif  // ZY_PLATFORM_UMASK_H_
