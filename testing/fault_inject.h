// I/O fault injection: fails the N-th open, write, fsync, close, rename or read of the process on
// a descriptor >= 3. Linked into a test binary (target trhsm_fault_inject) its definitions of the
// file functions come first and forward to the next unless the armed fault fires. Built as
// libtrhsm_fault_preload.so it is armed from the environment of a program run under LD_PRELOAD,
//   TRHSM_TEST_FAULT=<op>:<n>:<ENOSPC|EIO|EINTR>:<once|sticky>   TRHSM_TEST_FAULT_LOG=<file>,
// appending "fault fired <op> <n>" to the log file at each failed call. "fsync" covers fsync,
// fdatasync and syncfs; "open" covers open*,
// mk(o)stemp, fopen*, fdopen; "write" the write and stream output calls and a flush (fflush,
// fclose) of a stream holding output, which is then dropped; "close" close and fclose (the
// descriptor is released all the same); "rename" rename* (nothing renamed); "read" the read and
// stream input calls. A failed stream call sets the stream's error indicator.
#ifndef TRHSM_TESTING_FAULT_INJECT_H_
#define TRHSM_TESTING_FAULT_INJECT_H_

#ifdef __cplusplus
extern "C" {
#endif
// Resets the counts and arms: the n-th call (n >= 1) of `op` from now on fails with errno `err`,
// and with `sticky` != 0 every later one too. An unknown op arms nothing. Thread-safe.
void trhsm_fault_arm(const char* op, long n, int err, int sticky);
// Stops failing and counting; the counts stay readable until the next arm.
void trhsm_fault_disarm(void);
// Calls of `op` counted since the last arm, -1 for an unknown op.
long trhsm_fault_calls(const char* op);
// 1 when the armed fault failed a call since the last arm.
int trhsm_fault_fired(void);
// The file of the first failed call (an open's path, a rename's target, what the descriptor names
// for the others); "" when none failed. Valid until the next arm.
const char* trhsm_fault_fired_path(void);
// The number of open descriptors of the process, -1 when /proc/self/fd is unreadable.
int trhsm_open_fd_count(void);
#ifdef __cplusplus
}

namespace trhsm_test {
// Arms a fault for its lifetime.
class ScopedFault {
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
