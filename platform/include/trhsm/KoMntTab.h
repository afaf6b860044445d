// The platform's mount table: the C record chain of koReadMntTab and the class KoMntTab.
//
// The table is the file named by KO_MOUNT_TABLE, else /proc/self/mounts, in the format of
// /proc/self/mounts (device, mount point, type, options, two numbers; octal escapes such as \040
// decoded), read afresh at every call.
#ifndef TRHSM_KOMNTTAB_H_
#define TRHSM_KOMNTTAB_H_

#include <cstdint>
#include <list>
#include <string>

#include "trhsm/CZeError.h"
#include "trhsm/trhsm_platform_export.h"

// One mounted file system. Each record is a separate malloc'ed block that the caller frees with
// free(). Layout (64-bit): next at 0, device at 8, mountPoint at 1032, auxText at 2056, fsType at
// 2312, auxFlag at 2568; every text is NUL-terminated.
struct KoMntEntry {
  KoMntEntry* next;
  char device[1024];
  char mountPoint[1024];
  char auxText[256];  // the mount options
  char fsType[256];
  int32_t auxFlag;  // non-zero when the file system is mounted read-only
};

// The mounted file systems as a chain of records in table order, or null with a NUL-terminated
// error text in errorBuffer (of errorBufferSize bytes). An empty table is an error. A field too
// long for its record makes the whole call fail rather than hand out a cut path. Thread-safe.
extern "C" TRHSM_PLATFORM_EXPORT KoMntEntry* koReadMntTab(char* errorBuffer, int errorBufferSize);

class TRHSM_PLATFORM_EXPORT KoMntTab {
 public:
  struct Entry {
    std::string device;
    std::string mountPoint;
    bool auxFlag = false;
    std::string auxText;
    std::string fsType;
  };

  // Replaces `entries` by the current table, in table order. The result IsError() (negative code,
  // text saying why) when the table cannot be read; `entries` is then empty.
  static CZeError getAll(std::list<Entry>& entries);

  // The entry whose mount point holds `path`: the longest mount point that is the path itself or a
  // leading run of its components. Null when none does or path is null or empty. The pointer points
  // into `entries`.
  static const Entry* find(const std::list<Entry>& entries, const char* path);
};

#endif  // TRHSM_KOMNTTAB_H_
