// Test seams for the calls the fault shim leaves alone: fcntl, fstat, ftruncate and stat. Linked
// into a test binary (target trhsm_call_hooks), its definitions of these functions take precedence
// over the C library's for the whole process and forward to them unless a hook is armed.
#ifndef TRHSM_TESTING_CALL_HOOKS_H_
#define TRHSM_TESTING_CALL_HOOKS_H_

#include <functional>

namespace trhsm_test {

enum class Call { kFcntl, kFstat, kFtruncate, kStat };

// For its lifetime, the n-th call (n >= 1) of `call` counted from construction (for kFcntl only the
// calls with command `command`, or all for -1; other calls ignore it) fails with errno `err`
// without reaching the C library; or, in the second form, `action` runs once, just before that call
// (`before`) or just after it returned. One hook per kind of call at a time; the kinds are
// independent. Not for calls from several threads at once.
class ScopedCallHook {
 public:
  ScopedCallHook(Call call, long n, int err, int command = -1);
  ScopedCallHook(Call call, long n, bool before, std::function<void()> action, int command = -1);
  ~ScopedCallHook();
  ScopedCallHook(const ScopedCallHook&) = delete;
  ScopedCallHook& operator=(const ScopedCallHook&) = delete;

  // The calls of the kind (and command) counted so far.
  long calls() const;
  // True once the hook failed its call or ran its action.
  bool fired() const;

 private:
  Call call_;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CALL_HOOKS_H_
