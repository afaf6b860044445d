// Seams for the calls the fault shim leaves alone: fcntl, fstat and ftruncate. Linked into a test
// binary (target trhsm_call_hooks), its definitions of them come before the C library's and
// forward to it unless a hook is armed.
#ifndef TRHSM_TESTING_CALL_HOOKS_H_
#define TRHSM_TESTING_CALL_HOOKS_H_

#include <functional>

namespace trhsm_test {

enum class Call { kFcntl, kFstat, kFtruncate };

// For its lifetime, the n-th call (n >= 1) of `call` from construction (for kFcntl only those with
// `command`, or all for -1) fails with errno `err` without reaching the C library; or, in the
// second form, `action` runs once just before that call (`before`) or just after it. One hook per
// kind at a time. Not for calls from several threads at once.
class ScopedCallHook {
 public:
  ScopedCallHook(Call call, long n, int err, int command = -1);
  ScopedCallHook(Call call, long n, bool before, std::function<void()> action, int command = -1);
  ~ScopedCallHook();
  ScopedCallHook(const ScopedCallHook&) = delete;
  ScopedCallHook& operator=(const ScopedCallHook&) = delete;
  long calls() const;  // the calls of the kind (and command) counted so far
  bool fired() const;  // the hook failed its call or ran its action

 private:
  Call call_;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CALL_HOOKS_H_
