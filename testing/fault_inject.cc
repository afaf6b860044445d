// Interposers of the C library's file functions (only those that the library, the tools, the C++
// and SQLite libraries call): they fail the armed call and forward the others to the next
// definition in the lookup order (the C library's, or a sanitizer's interceptor before it).
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "testing/fault_inject.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "testing/call_hooks.h"
#include "testing/next_definition.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum Op { kOpen, kWrite, kFsync, kClose, kRename, kRead, kOpCount };
const char* const kOpNames[kOpCount] = {"open", "write", "fsync", "close", "rename", "read"};

std::atomic<bool> g_counting{false}, g_sticky{false}, g_fired{false};
std::atomic<int> g_armedOp{-1}, g_armedErr{0};
std::atomic<long> g_armedN{0}, g_calls[kOpCount];
const char* g_logPath = nullptr;  // the preloaded copy's TRHSM_TEST_FAULT_LOG
char g_firedPath[4096];           // written once, by the call that sets g_fired

int OpIndex(const char* op) {
  for (int i = 0; op != nullptr && i < kOpCount; ++i)
    if (std::strcmp(op, kOpNames[i]) == 0) return i;
  return -1;
}

// Appends one line by system calls, so logging neither counts nor fails.
void LogFired(int op, long call, const char* path) {
  const int saved = errno;
  char line[4200];
  const int n = std::min<int>(
      std::snprintf(line, sizeof line, "fault fired %s %ld %s\n", kOpNames[op], call, path),
      sizeof line - 1);
  const long fd = syscall(SYS_openat, AT_FDCWD, g_logPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd >= 0) (void)!syscall(SYS_write, fd, line, n), syscall(SYS_close, fd);
  errno = saved;
}

// Counts a call of `op` on `path` (or on descriptor `fd` when path is null); true when it fails.
// The coverage runtime's counter files ("*.gcda"), written at exit, are neither counted nor failed.
bool Fails(int op, const char* path, int fd) {
  if (!g_counting.load(std::memory_order_acquire) || (path == nullptr && fd < 3)) return false;
  char named[4096], link[40];
  if (path == nullptr) {
    const int saved = errno;
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, named, sizeof named - 1);
    named[length > 0 ? length : 0] = '\0';
    errno = saved, path = named;
  }
  const size_t length = std::strlen(path);
  if (length >= 5 && std::strcmp(path + length - 5, ".gcda") == 0) return false;
  const long call = g_calls[op].fetch_add(1) + 1, n = g_armedN.load();
  if (g_armedOp.load() != op || (call != n && !(g_sticky.load() && call > n))) return false;
  if (!g_fired.exchange(true)) std::snprintf(g_firedPath, sizeof g_firedPath, "%s", path);
  if (g_logPath != nullptr) LogFired(op, call, path);
  return true;
}
bool StreamFails(int op, FILE* fp) { return fp != nullptr && Fails(op, nullptr, fileno(fp)); }
// A flush of a stream with unwritten output is a write; a failed one loses the buffered data.
bool FlushFails(FILE* fp) {
  if (fp == nullptr || __fpending(fp) == 0 || !StreamFails(kWrite, fp)) return false;
  __fpurge(fp);
  return true;
}

// The failed call's result: -1, EOF, a null pointer or 0 items; a stream is marked failed.
template <typename T>
T Failed(FILE* fp = nullptr) {
  if (fp != nullptr) fp->_flags |= _IO_ERR_SEEN;
  errno = g_armedErr.load();
  T result{};
  if constexpr (std::is_signed_v<T>) result = -1;
  return result;
}

}  // namespace

// An interposer: `params` and `args` are parenthesised lists; `fails` decides.
#define SHIM_HEAD(ret, name, params)            \
  EXPORT ret name##_shim params __asm__(#name); \
  extern "C" ret name##_shim params
#define SHIM(ret, name, params, args, fails, failed) \
  SHIM_HEAD(ret, name, params) {                     \
    if (fails) return failed;                        \
    TRHSM_NEXT(ret(*) params, #name);                \
    return next args;                                \
  }
#define PATH(ret, op, name, path, params, args) \
  SHIM(ret, name, params, args, Fails(op, path, -1), Failed<ret>())
#define FD(ret, op, name, params, args) \
  SHIM(ret, name, params, args, Fails(op, nullptr, fd), Failed<ret>())
#define STREAM(ret, op, name, params, args) \
  SHIM(ret, name, params, args, StreamFails(op, fp), Failed<ret>(fp))
#define OPEN_VA(name, params, args)                                                  \
  SHIM_HEAD(int, name, params) {                                                     \
    va_list ap;                                                                      \
    va_start(ap, flags);                                                             \
    const mode_t mode =                                                              \
        (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0; \
    va_end(ap);                                                                      \
    if (Fails(kOpen, path, -1)) return Failed<int>();                                \
    TRHSM_NEXT(int(*) params, #name);                                                \
    return next args;                                                                \
  }

// clang-format off
OPEN_VA(open, (const char* path, int flags, ...), (path, flags, mode))
OPEN_VA(open64, (const char* path, int flags, ...), (path, flags, mode))
OPEN_VA(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
PATH(int, kOpen, mkostemp, t, (char* t, int flags), (t, flags))
PATH(FILE*, kOpen, fopen, path, (const char* path, const char* mode), (path, mode))
PATH(FILE*, kOpen, fopen64, path, (const char* path, const char* mode), (path, mode))
FD(FILE*, kOpen, fdopen, (int fd, const char* mode), (fd, mode))  // the descriptor stays open
FD(ssize_t, kWrite, write, (int fd, const void* p, size_t n), (fd, p, n))
FD(ssize_t, kWrite, pwrite64, (int fd, const void* p, size_t n, off64_t at), (fd, p, n, at))
FD(ssize_t, kWrite, writev, (int fd, const iovec* v, int n), (fd, v, n))
FD(ssize_t, kRead, read, (int fd, void* p, size_t n), (fd, p, n))
FD(ssize_t, kRead, pread, (int fd, void* p, size_t n, off_t at), (fd, p, n, at))
FD(ssize_t, kRead, pread64, (int fd, void* p, size_t n, off64_t at), (fd, p, n, at))
FD(int, kFsync, fsync, (int fd), (fd))
FD(int, kFsync, fdatasync, (int fd), (fd))
FD(int, kFsync, syncfs, (int fd), (fd))
STREAM(size_t, kWrite, fwrite, (const void* p, size_t s, size_t n, FILE* fp), (p, s, n, fp))
STREAM(int, kWrite, fputs, (const char* s, FILE* fp), (s, fp))
STREAM(int, kWrite, fputc, (int c, FILE* fp), (c, fp))
STREAM(size_t, kRead, fread, (void* p, size_t s, size_t n, FILE* fp), (p, s, n, fp))
STREAM(char*, kRead, fgets, (char* s, int n, FILE* fp), (s, n, fp))
STREAM(int, kRead, getc, (FILE* fp), (fp))
SHIM(int, fflush, (FILE* fp), (fp), FlushFails(fp), Failed<int>(fp))
PATH(int, kRename, rename, to, (const char* from, const char* to), (from, to))
PATH(int, kRename, renameat, to, (int fd, const char* from, int td, const char* to),
     (fd, from, td, to))
// clang-format on

SHIM_HEAD(int, fprintf, (FILE * fp, const char* f, ...)) {
  if (StreamFails(kWrite, fp)) return Failed<int>(fp);
  TRHSM_NEXT(int (*)(FILE*, const char*, va_list), "vfprintf");
  va_list ap;
  va_start(ap, f);
  const int r = next(fp, f, ap);
  va_end(ap);
  return r;
}
// Linux releases the descriptor even when close reports an error, so the failing call closes too.
SHIM_HEAD(int, close, (int fd)) {
  const bool failed = Fails(kClose, nullptr, fd);
  TRHSM_NEXT(int (*)(int), "close");
  const int err = g_armedErr.load(), r = next(fd);
  return failed ? (errno = err, -1) : r;
}
SHIM_HEAD(int, fclose, (FILE * fp)) {
  const bool flushFailed = FlushFails(fp), failed = StreamFails(kClose, fp) || flushFailed;
  TRHSM_NEXT(int (*)(FILE*), "fclose");
  const int err = g_armedErr.load(), r = next(fp);
  return failed ? (errno = err, EOF) : r;
}

EXPORT void trhsm_fault_arm(const char* op, long n, int err, int sticky) {
  g_counting = false;
  for (auto& calls : g_calls) calls = 0;
  g_fired = false;
  g_firedPath[0] = '\0';
  g_armedOp = OpIndex(op);
  g_armedN = n < 1 ? 1 : n;
  g_armedErr = err;
  g_sticky = sticky != 0;
  g_counting.store(true, std::memory_order_release);
}
EXPORT void trhsm_fault_disarm(void) {
  g_counting = false;
  g_armedOp = -1;
}
EXPORT long trhsm_fault_calls(const char* op) {
  return OpIndex(op) < 0 ? -1 : g_calls[OpIndex(op)].load();
}
EXPORT int trhsm_fault_fired(void) { return g_fired; }
EXPORT const char* trhsm_fault_fired_path(void) { return g_fired ? g_firedPath : ""; }
EXPORT int trhsm_open_fd_count(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = -1;  // the listing's own descriptor
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

// The fcntl hook (testing/call_hooks.h), in test binaries only. fcntl's argument, if any, is an
// int, a long or a pointer: passed on as a pointer-sized word, as the C library itself does.
#ifndef TRHSM_FAULT_PRELOAD
namespace {
std::atomic<bool> g_hookArmed{false}, g_hookFired{false};
std::atomic<long> g_hookCalls{0};
struct {
  long n;
  int err, command;
  bool before;
  std::function<void()> action;
} g_hook;
}  // namespace

trhsm_test::ScopedCallHook::ScopedCallHook(Call call, long n, int err, int command)
    : ScopedCallHook(call, n, false, nullptr, command) {
  g_hook.err = err;
}
trhsm_test::ScopedCallHook::ScopedCallHook(Call, long n, bool before, std::function<void()> action,
                                           int command) {
  g_hookArmed = false, g_hookCalls = 0, g_hookFired = false;
  g_hook = {n, 0, command, before, std::move(action)};
  g_hookArmed = true;
}
trhsm_test::ScopedCallHook::~ScopedCallHook() { g_hookArmed = false; }
long trhsm_test::ScopedCallHook::calls() const { return g_hookCalls; }

SHIM_HEAD(int, fcntl, (int fd, int command, ...)) {
  va_list ap;
  va_start(ap, command);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  TRHSM_NEXT(int (*)(int, int, ...), "fcntl");
  if (!g_hookArmed.load(std::memory_order_acquire) ||
      (g_hook.command != -1 && g_hook.command != command) ||
      g_hookCalls.fetch_add(1) + 1 != g_hook.n || g_hookFired.exchange(true))
    return next(fd, command, arg);
  if (!g_hook.action) return errno = g_hook.err, -1;
  if (g_hook.before) g_hook.action();  // its own calls pass unhooked
  const int result = next(fd, command, arg), saved = errno;
  if (!g_hook.before) g_hook.action();
  return errno = saved, result;
}
#else
// TRHSM_TEST_FAULT=<op>:<n>:<ENOSPC|EIO|EINTR>:<once|sticky>; a malformed value arms nothing.
__attribute__((constructor)) static void ArmFromEnvironment() {
  const char* setting = std::getenv("TRHSM_TEST_FAULT");
  char op[16] = {0}, err[16] = {0}, mode[16] = {0};
  long n = 0;
  if (!setting || std::sscanf(setting, "%15[a-z]:%ld:%15[A-Z]:%15[a-z]", op, &n, err, mode) != 4)
    return;
  const auto is = [](const char* a, const char* b) { return std::strcmp(a, b) == 0; };
  const int code = is(err, "ENOSPC") ? ENOSPC : is(err, "EIO") ? EIO : is(err, "EINTR") ? EINTR : 0;
  if (code == 0 || OpIndex(op) < 0 || n < 1 || !(is(mode, "sticky") || is(mode, "once"))) return;
  const char* log = std::getenv("TRHSM_TEST_FAULT_LOG");
  if (log != nullptr && *log != '\0') g_logPath = strdup(log);
  trhsm_fault_arm(op, n, code, is(mode, "sticky"));
}
#endif
