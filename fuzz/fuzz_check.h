// The helpers every fuzz target shares: checks that abort with their reason (a broken invariant is
// a finding in libFuzzer and a failure in the replay test), whole-file writes into the scratch
// folder and the log set-up.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#define TRHSM_FUZZ_CHECK(condition)                                                      \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace trhsm_fuzz {

// Aborts with `what` when `ok` is false.
inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// Replaces the file at `path` by `size` bytes of `data`; aborts when that fails, since the target
// would then test something other than its input.
inline void WriteWhole(const std::string& path, const void* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "open scratch file");
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    Check(n > 0, "write scratch file");
    p += n;
    size -= static_cast<size_t>(n);
  }
  Check(::close(fd) == 0, "close scratch file");
}

inline void WriteWhole(const std::string& path, const std::string& text) {
  WriteWhole(path, text.data(), text.size());
}

// For targets whose code syncs what it writes: puts the scratch folder on /dev/shm, where a sync
// costs nothing, unless TMPDIR names a place already. Call before the first ScratchFolder().
inline void PreferMemoryScratch() {
  const char* tmp = getenv("TMPDIR");
  if ((tmp == nullptr || *tmp == '\0') && ::access("/dev/shm", W_OK) == 0)
    setenv("TMPDIR", "/dev/shm", 1);
}

// Points the logging of the platform layer at /dev/null, so the targets write nothing outside the
// scratch folder; `level` is KO_LOG_LEVEL (higher levels reach more of the diagnostics).
inline void QuietLogs(const char* level) {
  setenv("KO_LOG_FILE", "/dev/null", 1);
  setenv("KO_LOG_LEVEL", level, 1);
}

// Every level written, so that the message formatting of each refusal runs too, and the lines
// discarded.
inline void LogEverythingToNowhere() { QuietLogs("7"); }

}  // namespace trhsm_fuzz
