// Definitions of the C library's file functions that fail the armed call (or run a hook's action)
// and forward the others to the next definition in the lookup order (the C library, or a
// sanitizer's interceptor before it).
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "testing/fault_inject.h"

#include <sys/stat.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

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

// The coverage runtime's counter files ("*.gcda"), written at exit, are neither counted nor failed.
constexpr int kMaxFd = 4096;
std::atomic<bool> g_counterFd[kMaxFd];
bool IsCounterFile(const char* path) {
  const size_t n = path == nullptr ? 0 : std::strlen(path);
  return n >= 5 && std::strcmp(path + n - 5, ".gcda") == 0;
}
bool IsCounterFd(int fd) { return fd >= 0 && fd < kMaxFd && g_counterFd[fd]; }
int FdOf(int fd) { return fd; }
int FdOf(FILE* fp) { return fp != nullptr ? fileno(fp) : -1; }
template <typename T>
T Opened(T result, const char* path) {
  const int fd = FdOf(result);
  if (fd >= 0 && fd < kMaxFd) g_counterFd[fd] = IsCounterFile(path);
  return result;
}

// Appends one line by system calls, so logging neither counts nor fails.
void LogFired(int op, long call) {
  const int saved = errno;
  char line[96];
  const int n = std::snprintf(line, sizeof line, "fault fired %s %ld\n", kOpNames[op], call);
  const long fd = syscall(SYS_openat, AT_FDCWD, g_logPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd >= 0) (void)!syscall(SYS_write, fd, line, n), syscall(SYS_close, fd);
  errno = saved;
}

// Counts a call of `op` on `path` (or on descriptor `fd` when path is null); true when it fails.
bool Fails(int op, const char* path, int fd) {
  if (!g_counting.load(std::memory_order_acquire)) return false;
  if (path != nullptr ? IsCounterFile(path) : fd < 3 || IsCounterFd(fd)) return false;
  const long call = g_calls[op].fetch_add(1) + 1, n = g_armedN.load();
  if (g_armedOp.load() != op || (call != n && !(g_sticky.load() && call > n))) return false;
  if (!g_fired.exchange(true)) {
    const int saved = errno;
    std::snprintf(g_firedPath, sizeof g_firedPath, "%s", path != nullptr ? path : "");
    if (path == nullptr) {
      char link[40];
      std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
      const ssize_t length = readlink(link, g_firedPath, sizeof g_firedPath - 1);
      g_firedPath[length > 0 ? length : 0] = '\0';
    }
    errno = saved;
  }
  if (g_logPath != nullptr) LogFired(op, call);
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

mode_t ModeArg(int flags, va_list ap) {
  const bool takes = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return takes ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

}  // namespace

// An interposer: `params` and `args` are parenthesised lists; `fails` decides, `result` may use r.
#define SHIM_HEAD(ret, name, params)            \
  EXPORT ret name##_shim params __asm__(#name); \
  extern "C" ret name##_shim params
#define SHIM(ret, name, params, args, fails, failed, result) \
  SHIM_HEAD(ret, name, params) {                             \
    if (fails) return failed;                                \
    TRHSM_NEXT(ret(*) params, #name);                        \
    ret r = next args;                                       \
    return result;                                           \
  }
#define PATH(ret, op, name, path, params, args) \
  SHIM(ret, name, params, args, Fails(op, path, -1), Failed<ret>(), Opened(r, path))
#define FD(ret, op, name, params, args) \
  SHIM(ret, name, params, args, Fails(op, nullptr, fd), Failed<ret>(), r)
#define STREAM(ret, op, name, params, args) \
  SHIM(ret, name, params, args, StreamFails(op, fp), Failed<ret>(fp), r)
#define OPEN_VA(name, params, args)                   \
  SHIM_HEAD(int, name, params) {                      \
    va_list ap;                                       \
    va_start(ap, flags);                              \
    const mode_t mode = ModeArg(flags, ap);           \
    va_end(ap);                                       \
    if (Fails(kOpen, path, -1)) return Failed<int>(); \
    TRHSM_NEXT(int(*) params, #name);                 \
    return Opened(next args, path);                   \
  }

// clang-format off
OPEN_VA(open, (const char* path, int flags, ...), (path, flags, mode))
OPEN_VA(open64, (const char* path, int flags, ...), (path, flags, mode))
OPEN_VA(openat, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
OPEN_VA(openat64, (int dir, const char* path, int flags, ...), (dir, path, flags, mode))
PATH(int, kOpen, __open_2, path, (const char* path, int flags), (path, flags))
PATH(int, kOpen, __open64_2, path, (const char* path, int flags), (path, flags))
PATH(int, kOpen, __openat_2, path, (int dir, const char* path, int flags), (dir, path, flags))
PATH(int, kOpen, mkstemp, t, (char* t), (t))
PATH(int, kOpen, mkostemp, t, (char* t, int flags), (t, flags))
PATH(FILE*, kOpen, fopen, path, (const char* path, const char* mode), (path, mode))
PATH(FILE*, kOpen, fopen64, path, (const char* path, const char* mode), (path, mode))
FD(FILE*, kOpen, fdopen, (int fd, const char* mode), (fd, mode))  // the descriptor stays open
FD(ssize_t, kWrite, write, (int fd, const void* p, size_t n), (fd, p, n))
FD(ssize_t, kWrite, pwrite, (int fd, const void* p, size_t n, off_t at), (fd, p, n, at))
FD(ssize_t, kWrite, pwrite64, (int fd, const void* p, size_t n, off64_t at), (fd, p, n, at))
FD(ssize_t, kWrite, writev, (int fd, const iovec* v, int n), (fd, v, n))
FD(ssize_t, kRead, read, (int fd, void* p, size_t n), (fd, p, n))
FD(ssize_t, kRead, pread, (int fd, void* p, size_t n, off_t at), (fd, p, n, at))
FD(ssize_t, kRead, pread64, (int fd, void* p, size_t n, off64_t at), (fd, p, n, at))
FD(ssize_t, kRead, readv, (int fd, const iovec* v, int n), (fd, v, n))
FD(int, kFsync, fsync, (int fd), (fd))
FD(int, kFsync, fdatasync, (int fd), (fd))
FD(int, kFsync, syncfs, (int fd), (fd))
STREAM(size_t, kWrite, fwrite, (const void* p, size_t s, size_t n, FILE* fp), (p, s, n, fp))
STREAM(int, kWrite, fputs, (const char* s, FILE* fp), (s, fp))
STREAM(int, kWrite, fputc, (int c, FILE* fp), (c, fp))
STREAM(int, kWrite, vfprintf, (FILE* fp, const char* f, va_list ap), (fp, f, ap))
STREAM(int, kWrite, __vfprintf_chk, (FILE* fp, int flag, const char* f, va_list ap),
       (fp, flag, f, ap))
STREAM(size_t, kRead, fread, (void* p, size_t s, size_t n, FILE* fp), (p, s, n, fp))
STREAM(char*, kRead, fgets, (char* s, int n, FILE* fp), (s, n, fp))
STREAM(int, kRead, getc, (FILE* fp), (fp))
SHIM(int, fflush, (FILE* fp), (fp), FlushFails(fp), Failed<int>(fp), r)
PATH(int, kRename, rename, to, (const char* from, const char* to), (from, to))
PATH(int, kRename, renameat, to, (int fd, const char* from, int td, const char* to),
     (fd, from, td, to))
PATH(int, kRename, renameat2, to, (int fd, const char* from, int td, const char* to, unsigned f),
     (fd, from, td, to, f))
// clang-format on

// fprintf and its checked form, through their va_list forms above.
#define VA_SHIM(name, params, last, call) \
  SHIM_HEAD(int, name, params) {          \
    va_list ap;                           \
    va_start(ap, last);                   \
    const int r = call;                   \
    va_end(ap);                           \
    return r;                             \
  }
VA_SHIM(fprintf, (FILE * fp, const char* f, ...), f, vfprintf_shim(fp, f, ap))
VA_SHIM(__fprintf_chk, (FILE * fp, int flag, const char* f, ...), f,
        __vfprintf_chk_shim(fp, flag, f, ap))
// Linux releases the descriptor even when close reports an error, so the failing call closes too.
SHIM_HEAD(int, close, (int fd)) {
  if (IsCounterFd(fd)) g_counterFd[fd] = false;
  const bool failed = Fails(kClose, nullptr, fd);
  TRHSM_NEXT(int (*)(int), "close");
  const int err = g_armedErr.load(), r = next(fd);
  return failed ? (errno = err, -1) : r;
}
SHIM_HEAD(int, fclose, (FILE * fp)) {
  bool failed = false;
  if (IsCounterFd(FdOf(fp))) {
    g_counterFd[FdOf(fp)] = false;
  } else {
    failed = FlushFails(fp);
    failed = StreamFails(kClose, fp) || failed;
  }
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

// ---- The fcntl hook (testing/call_hooks.h): test binaries only ----
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

namespace trhsm_test {
ScopedCallHook::ScopedCallHook(Call call, long n, int err, int command)
    : ScopedCallHook(call, n, false, nullptr, command) {
  g_hook.err = err;
}
ScopedCallHook::ScopedCallHook(Call call, long n, bool before, std::function<void()> action,
                               int command)
    : call_(call) {
  g_hookArmed = false, g_hookCalls = 0, g_hookFired = false;
  g_hook = {n, 0, command, before, std::move(action)};
  g_hookArmed = call_ == Call::kFcntl;
}
ScopedCallHook::~ScopedCallHook() { g_hookArmed = false; }
long ScopedCallHook::calls() const { return g_hookCalls; }
bool ScopedCallHook::fired() const { return g_hookFired; }
}  // namespace trhsm_test

// fcntl's argument, if any, is an int, a long or a pointer: passed on as a pointer-sized word, as
// the C library itself does.
#define FCNTL(name)                                                             \
  EXPORT int name##_hook(int, int, ...) __asm__(#name);                         \
  extern "C" int name##_hook(int fd, int command, ...) {                        \
    va_list ap;                                                                 \
    va_start(ap, command);                                                      \
    void* arg = va_arg(ap, void*);                                              \
    va_end(ap);                                                                 \
    TRHSM_NEXT(int (*)(int, int, ...), #name);                                  \
    if (!g_hookArmed.load(std::memory_order_acquire) ||                         \
        (g_hook.command != -1 && g_hook.command != command) ||                  \
        g_hookCalls.fetch_add(1) + 1 != g_hook.n || g_hookFired.exchange(true)) \
      return next(fd, command, arg);                                            \
    if (!g_hook.action) return errno = g_hook.err, -1;                          \
    if (g_hook.before) g_hook.action(); /* its own calls pass unhooked */       \
    const int result = next(fd, command, arg), saved = errno;                   \
    if (!g_hook.before) g_hook.action();                                        \
    return errno = saved, result;                                               \
  }
FCNTL(fcntl)
FCNTL(fcntl64)
#endif

#ifdef TRHSM_FAULT_PRELOAD
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
