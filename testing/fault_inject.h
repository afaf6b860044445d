// I/O fault injection: fails the n-th open, write, fsync, close, rename or read on a descriptor
// >= 3. Linked into a test binary (target trhsm_fault_inject), or preloaded into a program
// (libtrhsm_fault_preload.so), armed then by TRHSM_TEST_FAULT=<op>:<n>:<ENOSPC|EIO|EINTR>:<once|
// sticky> and logging "fault fired <op> <n>" to the file TRHSM_TEST_FAULT_LOG at each failed call.
// "open" covers open*, mkostemp, fopen*, fdopen; "fsync" fsync, fdatasync and syncfs; "write" the
// write and stream output calls and a flush (fflush, fclose) of pending output, then dropped;
// "close" close and fclose (the descriptor is released all the same); "rename" rename*; "read" the
// read and stream input calls. A failed stream call sets the stream's error indicator.
#ifndef TRHSM_TESTING_FAULT_INJECT_H_
#define TRHSM_TESTING_FAULT_INJECT_H_

#ifdef __cplusplus
extern "C" {
#endif
// Resets the counts and arms: the n-th call (n >= 1) of `op` from now on fails with errno `err`,
// and with `sticky` != 0 every later one too. An unknown op arms nothing. Thread-safe.
void trhsm_fault_arm(const char* op, long n, int err, int sticky);
void trhsm_fault_disarm(void);  // the counts stay readable until the next arm
// Calls of `op` counted since the last arm, -1 for an unknown op.
long trhsm_fault_calls(const char* op);
int trhsm_fault_fired(void);  // 1 when a call failed since the last arm
// The file of the first failed call (an open's path, a rename's target, what the descriptor names
// for the others); "" when none failed. Valid until the next arm.
const char* trhsm_fault_fired_path(void);
// The number of open descriptors of the process, -1 when /proc/self/fd is unreadable.
int trhsm_open_fd_count(void);
#ifdef __cplusplus
}

namespace trhsm_test {
class ScopedFault {  // arms a fault for its lifetime
 public:
  ScopedFault(const char* op, long n, int err, bool sticky) { trhsm_fault_arm(op, n, err, sticky); }
  ~ScopedFault() { trhsm_fault_disarm(); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

// The operations a fault sweep fails one at a time.
inline const char* const kFaultOps[] = {"open", "write", "fsync", "close", "rename"};
}  // namespace trhsm_test
#endif

#endif  // TRHSM_TESTING_FAULT_INJECT_H_
