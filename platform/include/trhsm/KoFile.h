// File opening for paths in the platform's file-name encoding (UTF-8 here, so the names pass as
// they are).
#ifndef TRHSM_KOFILE_H_
#define TRHSM_KOFILE_H_

#include <cstdio>

#include "trhsm/trhsm_platform_export.h"

// fopen(3) of `path`, with its result and errno. The stream is close-on-exec.
TRHSM_PLATFORM_EXPORT FILE* fopen_utf(const char* path, const char* mode);
// open(2) of `path` with O_CLOEXEC added, with its result and errno; retried on EINTR.
TRHSM_PLATFORM_EXPORT int open_utf(const char* path, int flags, int mode);

#endif  // TRHSM_KOFILE_H_
