// Definitions of fcntl, fstat and ftruncate that fail or act on the armed call and forward every
// call to the next definition (the C library, or a sanitizer's interceptor before it).
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "testing/call_hooks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <utility>

#include "testing/next_definition.h"

namespace {

struct Slot {
  std::atomic<bool> armed{false}, fired{false};
  std::atomic<long> calls{0};
  long n = 0;
  int err = 0, command = -1;
  bool before = false;
  std::function<void()> action;
} g_slots[3];

Slot& SlotOf(trhsm_test::Call call) { return g_slots[static_cast<int>(call)]; }

void Arm(trhsm_test::Call call, long n, int err, bool before, std::function<void()> action,
         int command) {
  Slot& s = SlotOf(call);
  s.armed = false;
  s.n = n;
  s.err = err;
  s.command = call == trhsm_test::Call::kFcntl ? command : -1;
  s.before = before;
  s.action = std::move(action);
  s.calls = 0;
  s.fired = false;
  s.armed = true;
}

// One call of the kind of slot `index` (fcntl command `command`); `real` performs it.
template <typename Real>
int Hooked(int index, int command, Real real) {
  Slot& s = g_slots[index];
  if (!s.armed.load(std::memory_order_acquire) || (s.command != -1 && s.command != command) ||
      s.calls.fetch_add(1) + 1 != s.n || s.fired.exchange(true)) {
    return real();
  }
  if (!s.action) return errno = s.err, -1;
  if (s.before) s.action();  // the action's own calls of this kind pass unhooked
  const int result = real(), saved = errno;
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

// Each hook: slot, name, parameters, arguments; fcntl's argument, if any, is an int, a long or a
// pointer, passed on as a pointer-sized word as the C library itself does.
#define HOOK(slot, name, params, args)                                                     \
  extern "C" __attribute__((visibility("default"))) int name##_hook params __asm__(#name); \
  extern "C" int name##_hook params {                                                      \
    TRHSM_NEXT(int(*) params, #name);                                                      \
    return Hooked(slot, -1, [&] { return next args; });                                    \
  }
#define FCNTL(name)                                                                                \
  extern "C" __attribute__((visibility("default"))) int name##_hook(int, int, ...) __asm__(#name); \
  extern "C" int name##_hook(int fd, int command, ...) {                                           \
    va_list ap;                                                                                    \
    va_start(ap, command);                                                                         \
    void* arg = va_arg(ap, void*);                                                                 \
    va_end(ap);                                                                                    \
    TRHSM_NEXT(int (*)(int, int, ...), #name);                                                     \
    return Hooked(0, command, [&] { return next(fd, command, arg); });                             \
  }
FCNTL(fcntl)
FCNTL(fcntl64)
HOOK(1, fstat, (int fd, struct stat* st), (fd, st))
HOOK(1, fstat64, (int fd, struct stat64* st), (fd, st))
HOOK(2, ftruncate, (int fd, off_t length), (fd, length))
HOOK(2, ftruncate64, (int fd, off64_t length), (fd, length))
