// I/O fault injection for tests: fails the N-th open, write, fsync, close, rename or read of the
// process.
// A test binary links the static target trhsm_fault_inject, whose definitions of the C library's
// file functions take precedence over the C library (and a sanitizer runtime) for the whole
// process; each one forwards to the next definition unless the armed fault fires. The same code
// builds as libtrhsm_fault_preload.so, armed from the environment, for programs started under
// LD_PRELOAD:
//   TRHSM_TEST_FAULT=<op>:<n>:<ENOSPC|EIO|EINTR>:<once|sticky>   TRHSM_TEST_FAULT_LOG=<file>
// When the fault fires the preloaded copy appends "fault fired <op> <n>" to the log file.
//
// Operations and the calls counted for each (only descriptors >= 3 and streams other than
// stdin/stdout/stderr count):
//   "open"   open/open64/openat/creat, fopen/fopen64/fdopen, mkstemp/mkostemp
//   "write"  write/pwrite/writev, fwrite/fputs/fputc/putc/fprintf/vfprintf, and fflush/fclose of a
//            stream that holds unwritten output (the buffered data is dropped, as a failed write
//            loses it)
//   "fsync"  fsync/fdatasync
//   "close"  close, fclose (the descriptor is released all the same, as Linux does)
//   "rename" rename/renameat/renameat2 (nothing is renamed)
//   "read"   read/pread/readv, fread/fgets/fgetc/getc/getline/getdelim
// A failing stream call also sets the stream's error indicator.
#ifndef TRHSM_TESTING_FAULT_INJECT_H_
#define TRHSM_TESTING_FAULT_INJECT_H_

#ifdef __cplusplus
extern "C" {
#endif

// Resets the counters and arms: the n-th call (n >= 1) of `op` from now on fails with errno `err`;
// with `sticky` != 0 every later call of `op` fails too. Any errno may be armed in-process (EINTR
// proves a retry). An unknown op arms nothing. Thread-safe.
void trhsm_fault_arm(const char* op, long n, int err, int sticky);
// Stops failing and counting; the counts stay readable until the next arm.
void trhsm_fault_disarm(void);
// Calls of `op` counted since the last arm, -1 for an unknown op.
long trhsm_fault_calls(const char* op);
// 1 when the armed fault failed at least one call since the last arm.
int trhsm_fault_fired(void);
// The file of the first call failed since the last arm (the path given to an open, the target of
// a rename, what the descriptor names for the others); "" when none failed. Valid until the next
// arm.
const char* trhsm_fault_fired_path(void);
// The number of open descriptors of the process (entries of /proc/self/fd), -1 when unreadable.
int trhsm_open_fd_count(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cerrno>
#include <string>

namespace trhsm_test {

// Arms a fault for its lifetime.
class ScopedFault {
 public:
  ScopedFault(const char* op, long n, int err, bool sticky) {
    trhsm_fault_arm(op, n, err, sticky ? 1 : 0);
  }
  ~ScopedFault() { trhsm_fault_disarm(); }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
};

// The operations a sweep goes through.
inline const char* const kFaultOps[] = {"open", "write", "fsync", "close", "rename"};

}  // namespace trhsm_test
#endif

#endif  // TRHSM_TESTING_FAULT_INJECT_H_
