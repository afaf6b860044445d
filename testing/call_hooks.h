// A seam for fcntl, which the fault shim leaves alone (target trhsm_call_hooks).
#ifndef TRHSM_TESTING_CALL_HOOKS_H_
#define TRHSM_TESTING_CALL_HOOKS_H_

#include <functional>

namespace trhsm_test {

enum class Call { kFcntl };

// For its lifetime, the n-th fcntl call (n >= 1) with `command` (-1: any) fails with `err`; or,
// in the second form, `action` runs just before that call (`before`) or just after it. One at a
// time, from one thread.
class ScopedCallHook {
 public:
  ScopedCallHook(Call call, long n, int err, int command = -1);
  ScopedCallHook(Call call, long n, bool before, std::function<void()> action, int command = -1);
  ~ScopedCallHook();
  ScopedCallHook(const ScopedCallHook&) = delete;
  ScopedCallHook& operator=(const ScopedCallHook&) = delete;
  long calls() const;  // the calls counted so far
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CALL_HOOKS_H_
