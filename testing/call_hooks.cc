// Definitions of fcntl, fstat, ftruncate and stat that fail or act on the armed call and forward
// every call to the next definition (the C library, or a sanitizer's interceptor before it).
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "testing/call_hooks.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <utility>

#include "testing/next_definition.h"

namespace {

using trhsm_test::Call;

struct Slot {
  std::atomic<bool> armed{false};
  std::atomic<long> calls{0};
  std::atomic<bool> fired{false};
  long n = 0;
  int err = 0;
  int command = -1;
  bool before = false;
  std::function<void()> action;
};

Slot g_slots[4];

Slot& SlotOf(Call call) { return g_slots[static_cast<int>(call)]; }

void Arm(Call call, long n, int err, bool before, std::function<void()> action, int command) {
  Slot& s = SlotOf(call);
  s.armed = false;
  s.n = n;
  s.err = err;
  s.command = call == Call::kFcntl ? command : -1;
  s.before = before;
  s.action = std::move(action);
  s.calls = 0;
  s.fired = false;
  s.armed = true;
}

// Runs one call of `call` (with fcntl command `command`) through the hook: `real` performs it.
template <typename Real>
auto Hooked(Call call, int command, Real real) -> decltype(real()) {
  Slot& s = SlotOf(call);
  if (!s.armed.load(std::memory_order_acquire) || (s.command != -1 && s.command != command)) {
    return real();
  }
  if (s.calls.fetch_add(1) + 1 != s.n || s.fired.exchange(true)) return real();
  if (!s.action) {
    errno = s.err;
    return -1;
  }
  // The action may itself make calls of this kind: they pass unhooked.
  if (s.before) s.action();
  auto result = real();
  const int saved = errno;
  if (!s.before) s.action();
  errno = saved;
  return result;
}

}  // namespace

namespace trhsm_test {

ScopedCallHook::ScopedCallHook(Call call, long n, int err, int command) : call_(call) {
  Arm(call, n, err, false, nullptr, command);
}
ScopedCallHook::ScopedCallHook(Call call, long n, bool before, std::function<void()> action,
                               int command)
    : call_(call) {
  Arm(call, n, 0, before, std::move(action), command);
}
ScopedCallHook::~ScopedCallHook() { SlotOf(call_).armed = false; }
long ScopedCallHook::calls() const { return SlotOf(call_).calls.load(); }
bool ScopedCallHook::fired() const { return SlotOf(call_).fired.load(); }

}  // namespace trhsm_test

#define TRHSM_HOOK(ret, name, ...)                                                               \
  extern "C" __attribute__((visibility("default"))) ret Hook_##name(__VA_ARGS__) __asm__(#name); \
  extern "C" ret Hook_##name(__VA_ARGS__)

// Every command's argument, if any, is an int, a long or a pointer: passed on as a pointer-sized
// word, as the C library itself does.
TRHSM_HOOK(int, fcntl, int fd, int command, ...) {
  va_list ap;
  va_start(ap, command);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  TRHSM_NEXT(int (*)(int, int, ...), "fcntl");
  return Hooked(Call::kFcntl, command, [&] { return next(fd, command, arg); });
}
TRHSM_HOOK(int, fcntl64, int fd, int command, ...) {
  va_list ap;
  va_start(ap, command);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  TRHSM_NEXT(int (*)(int, int, ...), "fcntl64");
  return Hooked(Call::kFcntl, command, [&] { return next(fd, command, arg); });
}
TRHSM_HOOK(int, fstat, int fd, struct stat* st) {
  TRHSM_NEXT(int (*)(int, struct stat*), "fstat");
  return Hooked(Call::kFstat, -1, [&] { return next(fd, st); });
}
TRHSM_HOOK(int, fstat64, int fd, struct stat64* st) {
  TRHSM_NEXT(int (*)(int, struct stat64*), "fstat64");
  return Hooked(Call::kFstat, -1, [&] { return next(fd, st); });
}
TRHSM_HOOK(int, ftruncate, int fd, off_t length) {
  TRHSM_NEXT(int (*)(int, off_t), "ftruncate");
  return Hooked(Call::kFtruncate, -1, [&] { return next(fd, length); });
}
TRHSM_HOOK(int, ftruncate64, int fd, off64_t length) {
  TRHSM_NEXT(int (*)(int, off64_t), "ftruncate64");
  return Hooked(Call::kFtruncate, -1, [&] { return next(fd, length); });
}
TRHSM_HOOK(int, stat, const char* path, struct stat* st) {
  TRHSM_NEXT(int (*)(const char*, struct stat*), "stat");
  return Hooked(Call::kStat, -1, [&] { return next(path, st); });
}
TRHSM_HOOK(int, stat64, const char* path, struct stat64* st) {
  TRHSM_NEXT(int (*)(const char*, struct stat64*), "stat64");
  return Hooked(Call::kStat, -1, [&] { return next(path, st); });
}
