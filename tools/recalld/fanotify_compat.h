// The fanotify constants the daemon uses that older installed kernel headers lack. Each is the
// kernel's own value; a header that has it wins.
#ifndef TRHSM_TOOLS_RECALLD_FANOTIFY_COMPAT_H_
#define TRHSM_TOOLS_RECALLD_FANOTIFY_COMPAT_H_

#include <sys/fanotify.h>

#include <cstdint>

#ifndef FAN_PRE_ACCESS
#define FAN_PRE_ACCESS 0x00100000  // pre-content access hook (Linux 6.14)
#endif
#ifndef FAN_MARK_EVICTABLE
#define FAN_MARK_EVICTABLE 0x00000200  // a mark that does not pin its inode (Linux 5.19)
#endif
#ifndef FAN_ERRNO_BITS
#define FAN_ERRNO_BITS 8
#define FAN_ERRNO_SHIFT (32 - FAN_ERRNO_BITS)
#define FAN_ERRNO_MASK ((1 << FAN_ERRNO_BITS) - 1)
#endif
#ifndef FAN_DENY_ERRNO
// A denial that gives the opener `err` instead of EPERM (Linux 6.14, pre-content groups).
#define FAN_DENY_ERRNO(err) \
  (FAN_DENY | ((static_cast<uint32_t>(err) & FAN_ERRNO_MASK) << FAN_ERRNO_SHIFT))
#endif

#endif  // TRHSM_TOOLS_RECALLD_FANOTIFY_COMPAT_H_
