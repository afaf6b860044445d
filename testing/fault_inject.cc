// Definitions of the C library's file functions that fail the armed call and forward the others to
// the next definition in the lookup order (the C library, or a sanitizer's interceptor before it).
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "testing/fault_inject.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "testing/next_definition.h"

namespace {

enum Op { kOpen, kWrite, kFsync, kClose, kRename, kRead, kOpCount };
const char* const kOpNames[kOpCount] = {"open", "write", "fsync", "close", "rename", "read"};

std::atomic<bool> g_counting{false};
std::atomic<int> g_armedOp{-1};
std::atomic<long> g_armedN{0};
std::atomic<int> g_armedErr{0};
std::atomic<bool> g_sticky{false};
std::atomic<bool> g_fired{false};
std::atomic<long> g_calls[kOpCount];
const char* g_logPath = nullptr;  // the preloaded copy's TRHSM_TEST_FAULT_LOG

int OpIndex(const char* op) {
  if (op == nullptr) return -1;
  for (int i = 0; i < kOpCount; ++i)
    if (std::strcmp(op, kOpNames[i]) == 0) return i;
  return -1;
}

void LogFired(int op, long call);

// The file of the first failed call since arming; written once, by the call that sets g_fired.
char g_firedPath[4096];

void RecordPath(const char* path) {
  std::snprintf(g_firedPath, sizeof g_firedPath, "%s", path != nullptr ? path : "");
}

void RecordFd(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, g_firedPath, sizeof g_firedPath - 1);
  g_firedPath[n > 0 ? n : 0] = '\0';
}

// Descriptors of the coverage runtime's counter files ("*.gcda"), which it writes at exit: their
// calls are neither counted nor failed, so a coverage build of a fault test still counts.
constexpr int kTrackedFds = 4096;
std::atomic<unsigned long> g_counterFds[kTrackedFds / 64];

bool IsCounterFile(const char* path) {
  if (path == nullptr) return false;
  size_t length = std::strlen(path);
  return length >= 5 && std::strcmp(path + length - 5, ".gcda") == 0;
}
void SetCounterFd(int fd, bool on) {
  if (fd < 0 || fd >= kTrackedFds) return;
  unsigned long bit = 1UL << (fd % 64);
  if (on) {
    g_counterFds[fd / 64].fetch_or(bit);
  } else {
    g_counterFds[fd / 64].fetch_and(~bit);
  }
}
bool IsCounterFd(int fd) {
  return fd >= 0 && fd < kTrackedFds && (g_counterFds[fd / 64].load() & (1UL << (fd % 64))) != 0;
}
// Passes an open's result through, remembering it when it is a counter file's.
int Opened(int fd, const char* path) {
  if (fd >= 0 && IsCounterFile(path)) SetCounterFd(fd, true);
  return fd;
}
FILE* Opened(FILE* fp, const char* path) {
  if (fp != nullptr && IsCounterFile(path)) SetCounterFd(fileno(fp), true);
  return fp;
}

// Counts a call of `op` on the file `path` (or descriptor `fd` when path is null); true when this
// call is to fail, with errno to be set to the armed error.
bool Fails(int op, const char* path, int fd) {
  if (!g_counting.load(std::memory_order_acquire)) return false;
  if (path != nullptr ? IsCounterFile(path) : IsCounterFd(fd)) return false;
  long call = g_calls[op].fetch_add(1) + 1;
  if (g_armedOp.load() != op) return false;
  long n = g_armedN.load();
  if (call != n && !(g_sticky.load() && call > n)) return false;
  if (!g_fired.exchange(true)) {
    int saved = errno;
    if (path != nullptr || fd < 0) {
      RecordPath(path);
    } else {
      RecordFd(fd);
    }
    errno = saved;
  }
  if (g_logPath != nullptr) LogFired(op, call);
  return true;
}
bool Fails(int op, const char* path) { return Fails(op, path, -1); }
bool Fails(int op, int fd) { return Fails(op, nullptr, fd); }

int Armed() { return g_armedErr.load(); }

int RealOpen(const char* path, int flags, mode_t mode) {
  TRHSM_NEXT(int (*)(const char*, int, ...), "open");
  return next(path, flags, mode);
}
ssize_t RealWrite(int fd, const void* data, size_t size) {
  TRHSM_NEXT(ssize_t(*)(int, const void*, size_t), "write");
  return next(fd, data, size);
}
int RealClose(int fd) {
  TRHSM_NEXT(int (*)(int), "close");
  return next(fd);
}

// Appends one line through the next definitions, so logging neither counts nor fails.
void LogFired(int op, long call) {
  int saved = errno;
  int fd = RealOpen(g_logPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char line[96];
    int length = std::snprintf(line, sizeof line, "fault fired %s %ld\n", kOpNames[op], call);
    if (length > 0) (void)!RealWrite(fd, line, static_cast<size_t>(length));
    RealClose(fd);
  }
  errno = saved;
}

bool UserFd(int fd) { return fd >= 3; }
bool UserStream(FILE* fp) { return fp != nullptr && fileno(fp) >= 3; }

// Marks the stream failed as the C library does after a failed write.
void FailStream(FILE* fp) {
  fp->_flags |= _IO_ERR_SEEN;
  errno = Armed();
}

// A flush of a stream with unwritten output is a write; a failed one loses the buffered data.
bool FlushFails(FILE* fp) {
  if (__fpending(fp) == 0 || !Fails(kWrite, fileno(fp))) return false;
  __fpurge(fp);
  return true;
}

mode_t ModeArg(int flags, va_list ap) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    return static_cast<mode_t>(va_arg(ap, int));
  return 0;
}

}  // namespace

#define TRHSM_SHIM(ret, name, ...)                                                               \
  extern "C" __attribute__((visibility("default"))) ret Shim_##name(__VA_ARGS__) __asm__(#name); \
  extern "C" ret Shim_##name(__VA_ARGS__)

// ---- open ----

TRHSM_SHIM(int, open, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, int, ...), "open");
  return Opened(next(path, flags, mode), path);
}
TRHSM_SHIM(int, open64, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, int, ...), "open64");
  return Opened(next(path, flags, mode), path);
}
TRHSM_SHIM(int, openat, int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int, const char*, int, ...), "openat");
  return Opened(next(dirfd, path, flags, mode), path);
}
TRHSM_SHIM(int, openat64, int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int, const char*, int, ...), "openat64");
  return Opened(next(dirfd, path, flags, mode), path);
}
// The checked variants that fortified callers use.
TRHSM_SHIM(int, __open_2, const char* path, int flags) {
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, int), "__open_2");
  return Opened(next(path, flags), path);
}
TRHSM_SHIM(int, __open64_2, const char* path, int flags) {
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, int), "__open64_2");
  return Opened(next(path, flags), path);
}
TRHSM_SHIM(int, __openat_2, int dirfd, const char* path, int flags) {
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int, const char*, int), "__openat_2");
  return Opened(next(dirfd, path, flags), path);
}
TRHSM_SHIM(int, creat, const char* path, mode_t mode) {
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, mode_t), "creat");
  return Opened(next(path, mode), path);
}
TRHSM_SHIM(int, creat64, const char* path, mode_t mode) {
  if (Fails(kOpen, path)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, mode_t), "creat64");
  return Opened(next(path, mode), path);
}
TRHSM_SHIM(int, mkstemp, char* templ) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*), "mkstemp");
  return next(templ);
}
TRHSM_SHIM(int, mkstemp64, char* templ) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*), "mkstemp64");
  return next(templ);
}
TRHSM_SHIM(int, mkostemp, char* templ, int flags) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*, int), "mkostemp");
  return next(templ, flags);
}
TRHSM_SHIM(int, mkostemp64, char* templ, int flags) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*, int), "mkostemp64");
  return next(templ, flags);
}
TRHSM_SHIM(int, mkstemps, char* templ, int suffixLength) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*, int), "mkstemps");
  return next(templ, suffixLength);
}
TRHSM_SHIM(int, mkostemps, char* templ, int suffixLength, int flags) {
  if (Fails(kOpen, templ)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(char*, int, int), "mkostemps");
  return next(templ, suffixLength, flags);
}
TRHSM_SHIM(FILE*, fopen, const char* path, const char* mode) {
  if (Fails(kOpen, path)) return errno = Armed(), nullptr;
  TRHSM_NEXT(FILE * (*)(const char*, const char*), "fopen");
  return Opened(next(path, mode), path);
}
TRHSM_SHIM(FILE*, fopen64, const char* path, const char* mode) {
  if (Fails(kOpen, path)) return errno = Armed(), nullptr;
  TRHSM_NEXT(FILE * (*)(const char*, const char*), "fopen64");
  return Opened(next(path, mode), path);
}
// A failed fdopen leaves the descriptor open, as the real one does.
TRHSM_SHIM(FILE*, fdopen, int fd, const char* mode) {
  if (UserFd(fd) && Fails(kOpen, fd)) return errno = Armed(), nullptr;
  TRHSM_NEXT(FILE * (*)(int, const char*), "fdopen");
  return next(fd, mode);
}

// ---- write ----

TRHSM_SHIM(ssize_t, write, int fd, const void* data, size_t size) {
  if (UserFd(fd) && Fails(kWrite, fd)) return errno = Armed(), -1;
  return RealWrite(fd, data, size);
}
TRHSM_SHIM(ssize_t, pwrite, int fd, const void* data, size_t size, off_t offset) {
  if (UserFd(fd) && Fails(kWrite, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, const void*, size_t, off_t), "pwrite");
  return next(fd, data, size, offset);
}
TRHSM_SHIM(ssize_t, pwrite64, int fd, const void* data, size_t size, off64_t offset) {
  if (UserFd(fd) && Fails(kWrite, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, const void*, size_t, off64_t), "pwrite64");
  return next(fd, data, size, offset);
}
TRHSM_SHIM(ssize_t, writev, int fd, const struct iovec* parts, int count) {
  if (UserFd(fd) && Fails(kWrite, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, const struct iovec*, int), "writev");
  return next(fd, parts, count);
}
TRHSM_SHIM(size_t, fwrite, const void* data, size_t size, size_t count, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), 0;
  TRHSM_NEXT(size_t(*)(const void*, size_t, size_t, FILE*), "fwrite");
  return next(data, size, count, fp);
}
TRHSM_SHIM(size_t, fwrite_unlocked, const void* data, size_t size, size_t count, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), 0;
  TRHSM_NEXT(size_t(*)(const void*, size_t, size_t, FILE*), "fwrite_unlocked");
  return next(data, size, count, fp);
}
TRHSM_SHIM(int, fputs, const char* text, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(const char*, FILE*), "fputs");
  return next(text, fp);
}
TRHSM_SHIM(int, fputs_unlocked, const char* text, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(const char*, FILE*), "fputs_unlocked");
  return next(text, fp);
}
TRHSM_SHIM(int, fputc, int c, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(int, FILE*), "fputc");
  return next(c, fp);
}
TRHSM_SHIM(int, putc, int c, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(int, FILE*), "putc");
  return next(c, fp);
}
TRHSM_SHIM(int, fputc_unlocked, int c, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(int, FILE*), "fputc_unlocked");
  return next(c, fp);
}
TRHSM_SHIM(int, putc_unlocked, int c, FILE* fp) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(int, FILE*), "putc_unlocked");
  return next(c, fp);
}
TRHSM_SHIM(int, vfprintf, FILE* fp, const char* format, va_list ap) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(int (*)(FILE*, const char*, va_list), "vfprintf");
  return next(fp, format, ap);
}
TRHSM_SHIM(int, fprintf, FILE* fp, const char* format, ...) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(int (*)(FILE*, const char*, va_list), "vfprintf");
  va_list ap;
  va_start(ap, format);
  int result = next(fp, format, ap);
  va_end(ap);
  return result;
}
TRHSM_SHIM(int, __vfprintf_chk, FILE* fp, int flag, const char* format, va_list ap) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(int (*)(FILE*, int, const char*, va_list), "__vfprintf_chk");
  return next(fp, flag, format, ap);
}
TRHSM_SHIM(int, __fprintf_chk, FILE* fp, int flag, const char* format, ...) {
  if (UserStream(fp) && Fails(kWrite, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(int (*)(FILE*, int, const char*, va_list), "__vfprintf_chk");
  va_list ap;
  va_start(ap, format);
  int result = next(fp, flag, format, ap);
  va_end(ap);
  return result;
}
TRHSM_SHIM(int, fflush, FILE* fp) {
  if (UserStream(fp) && FlushFails(fp)) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(FILE*), "fflush");
  return next(fp);
}

// ---- read ----

TRHSM_SHIM(ssize_t, read, int fd, void* data, size_t size) {
  if (UserFd(fd) && Fails(kRead, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, void*, size_t), "read");
  return next(fd, data, size);
}
TRHSM_SHIM(ssize_t, pread, int fd, void* data, size_t size, off_t offset) {
  if (UserFd(fd) && Fails(kRead, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, void*, size_t, off_t), "pread");
  return next(fd, data, size, offset);
}
TRHSM_SHIM(ssize_t, pread64, int fd, void* data, size_t size, off64_t offset) {
  if (UserFd(fd) && Fails(kRead, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, void*, size_t, off64_t), "pread64");
  return next(fd, data, size, offset);
}
TRHSM_SHIM(ssize_t, readv, int fd, const struct iovec* parts, int count) {
  if (UserFd(fd) && Fails(kRead, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(ssize_t(*)(int, const struct iovec*, int), "readv");
  return next(fd, parts, count);
}
TRHSM_SHIM(size_t, fread, void* data, size_t size, size_t count, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), 0;
  TRHSM_NEXT(size_t(*)(void*, size_t, size_t, FILE*), "fread");
  return next(data, size, count, fp);
}
TRHSM_SHIM(size_t, fread_unlocked, void* data, size_t size, size_t count, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), 0;
  TRHSM_NEXT(size_t(*)(void*, size_t, size_t, FILE*), "fread_unlocked");
  return next(data, size, count, fp);
}
TRHSM_SHIM(char*, fgets, char* text, int size, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), nullptr;
  TRHSM_NEXT(char* (*)(char*, int, FILE*), "fgets");
  return next(text, size, fp);
}
TRHSM_SHIM(char*, fgets_unlocked, char* text, int size, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), nullptr;
  TRHSM_NEXT(char* (*)(char*, int, FILE*), "fgets_unlocked");
  return next(text, size, fp);
}
TRHSM_SHIM(int, fgetc, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(FILE*), "fgetc");
  return next(fp);
}
TRHSM_SHIM(int, getc, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), EOF;
  TRHSM_NEXT(int (*)(FILE*), "getc");
  return next(fp);
}
TRHSM_SHIM(ssize_t, getdelim, char** line, size_t* size, int delimiter, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(ssize_t(*)(char**, size_t*, int, FILE*), "getdelim");
  return next(line, size, delimiter, fp);
}
TRHSM_SHIM(ssize_t, getline, char** line, size_t* size, FILE* fp) {
  if (UserStream(fp) && Fails(kRead, fileno(fp))) return FailStream(fp), -1;
  TRHSM_NEXT(ssize_t(*)(char**, size_t*, FILE*), "getline");
  return next(line, size, fp);
}

// ---- fsync ----

TRHSM_SHIM(int, fsync, int fd) {
  if (UserFd(fd) && Fails(kFsync, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int), "fsync");
  return next(fd);
}
TRHSM_SHIM(int, fdatasync, int fd) {
  if (UserFd(fd) && Fails(kFsync, fd)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int), "fdatasync");
  return next(fd);
}

// ---- close ----

// Linux releases the descriptor even when close reports an error, so the failing call closes too.
TRHSM_SHIM(int, close, int fd) {
  SetCounterFd(fd, false);
  if (UserFd(fd) && Fails(kClose, fd)) {
    int err = Armed();
    RealClose(fd);
    return errno = err, -1;
  }
  return RealClose(fd);
}
TRHSM_SHIM(int, fclose, FILE* fp) {
  TRHSM_NEXT(int (*)(FILE*), "fclose");
  if (!UserStream(fp)) return next(fp);
  if (IsCounterFd(fileno(fp))) {
    SetCounterFd(fileno(fp), false);
    return next(fp);
  }
  bool failed = FlushFails(fp);
  failed = Fails(kClose, fileno(fp)) || failed;
  int err = Armed();
  int result = next(fp);
  if (failed) return errno = err, EOF;
  return result;
}

// ---- rename ----

TRHSM_SHIM(int, rename, const char* from, const char* to) {
  if (Fails(kRename, to)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(const char*, const char*), "rename");
  return next(from, to);
}
TRHSM_SHIM(int, renameat, int fromDir, const char* from, int toDir, const char* to) {
  if (Fails(kRename, to)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int, const char*, int, const char*), "renameat");
  return next(fromDir, from, toDir, to);
}
TRHSM_SHIM(int, renameat2, int fromDir, const char* from, int toDir, const char* to,
           unsigned flags) {
  if (Fails(kRename, to)) return errno = Armed(), -1;
  TRHSM_NEXT(int (*)(int, const char*, int, const char*, unsigned), "renameat2");
  if (next == nullptr) return errno = ENOSYS, -1;
  return next(fromDir, from, toDir, to, flags);
}

// ---- control ----

extern "C" __attribute__((visibility("default"))) void trhsm_fault_arm(const char* op, long n,
                                                                       int err, int sticky) {
  g_counting.store(false);
  for (auto& calls : g_calls) calls.store(0);
  g_fired.store(false);
  g_firedPath[0] = '\0';
  g_armedOp.store(OpIndex(op));
  g_armedN.store(n < 1 ? 1 : n);
  g_armedErr.store(err);
  g_sticky.store(sticky != 0);
  g_counting.store(true, std::memory_order_release);
}

extern "C" __attribute__((visibility("default"))) void trhsm_fault_disarm(void) {
  g_counting.store(false);
  g_armedOp.store(-1);
}

extern "C" __attribute__((visibility("default"))) long trhsm_fault_calls(const char* op) {
  int index = OpIndex(op);
  return index < 0 ? -1 : g_calls[index].load();
}

extern "C" __attribute__((visibility("default"))) int trhsm_fault_fired(void) {
  return g_fired.load() ? 1 : 0;
}

extern "C" __attribute__((visibility("default"))) const char* trhsm_fault_fired_path(void) {
  return g_fired.load() ? g_firedPath : "";
}

extern "C" __attribute__((visibility("default"))) int trhsm_open_fd_count(void) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the descriptor of the listing itself
}

#ifdef TRHSM_FAULT_PRELOAD
namespace {

// TRHSM_TEST_FAULT=<op>:<n>:<ENOSPC|EIO|EINTR>:<once|sticky>; a malformed value arms nothing.
__attribute__((constructor)) void ArmFromEnvironment() {
  const char* setting = std::getenv("TRHSM_TEST_FAULT");
  if (setting == nullptr || *setting == '\0') return;
  char op[16] = {0}, err[16] = {0}, mode[16] = {0};
  long n = 0;
  if (std::sscanf(setting, "%15[a-z]:%ld:%15[A-Z]:%15[a-z]", op, &n, err, mode) != 4) return;
  int code = std::strcmp(err, "ENOSPC") == 0  ? ENOSPC
             : std::strcmp(err, "EIO") == 0   ? EIO
             : std::strcmp(err, "EINTR") == 0 ? EINTR
                                              : 0;
  bool sticky = std::strcmp(mode, "sticky") == 0;
  if (code == 0 || OpIndex(op) < 0 || n < 1 || (!sticky && std::strcmp(mode, "once") != 0)) return;
  const char* log = std::getenv("TRHSM_TEST_FAULT_LOG");
  if (log != nullptr && *log != '\0') g_logPath = strdup(log);
  trhsm_fault_arm(op, n, code, sticky ? 1 : 0);
}

}  // namespace
#endif
