// A seam for fcntl, which the fault shim leaves alone: linked into a test binary (target
// trhsm_call_hooks), its definition comes before the C library's and forwards to it unless armed.
#ifndef TRHSM_TESTING_CALL_HOOKS_H_
#define TRHSM_TESTING_CALL_HOOKS_H_

#include <functional>

namespace trhsm_test {

enum class Call { kFcntl };

// For its lifetime, the n-th call (n >= 1) of fcntl with `command` (-1: any) from construction
// fails with errno `err` without reaching the C library; or, in the second form, `action` runs
// once just before that call (`before`) or just after it. One hook at a time; not for calls from
// several threads at once.
class ScopedCallHook {
 public:
  ScopedCallHook(Call call, long n, int err, int command = -1);
  ScopedCallHook(Call call, long n, bool before, std::function<void()> action, int command = -1);
  ~ScopedCallHook();
  ScopedCallHook(const ScopedCallHook&) = delete;
  ScopedCallHook& operator=(const ScopedCallHook&) = delete;
  long calls() const;  // the calls counted so far
  bool fired() const;  // the hook failed its call or ran its action

 private:
  Call call_;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CALL_HOOKS_H_
