// Read access to the client's configuration store, and the installation's directories.
//
// The store is a text file named by KO_REGISTRY (a missing file is an empty store):
//   [Machines/clientA]        opens a key
//   sHOST_NAME=host.example   adds a value to the current key; the value is every byte after the
//                             first '=' up to the end of the line, kept exactly
// Blank lines and lines starting with '#' are ignored. The file is read afresh for each question
// (or served from a cache that is dropped when the file changes). Objects are cheap and made for
// one question; they are thread-safe as long as each thread uses its own.
#ifndef TRHSM_KOPLATFORMINFO_H_
#define TRHSM_KOPLATFORMINFO_H_

#include <string>
#include <vector>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT KOPlatformInfo {
 public:
  KOPlatformInfo();
  ~KOPlatformInfo();

  // Non-zero when `name` exists under `key`; the value is then stored in *value.
  int getString(const char* key, const char* name, std::string* value);
  // Non-zero when the value exists and fits: it is copied NUL-terminated into buffer, whose size is
  // *length on entry; *length is set to the value's length. A value that does not fit (or a null
  // buffer or length) gives 0 and leaves the buffer as it was; a found value's length is still
  // stored in *length, so the caller learns the size it needs.
  int getString(const char* key, const char* name, char* buffer, int* length);
  // The second path component of every key below "Machines/", distinct, in order of first
  // appearance. Returns the number of clients.
  int getClientList(std::vector<std::string>& clients);
  // The value sHOST_NAME under Machines/<client>; empty when absent. Non-zero when found.
  int getClientHostName(const char* client, std::string& host);
};

// The installation's base directory: dVELORA_HOME under Base, or null. The text is owned by the
// object and lives as long as it.
class TRHSM_PLATFORM_EXPORT KOPI_Base {
 public:
  const char* getVeloraDirectory();

 private:
  std::string value_;
};

// A client's job results directory: dJOB_RESULTS_DIR under Machines/<client>, or null.
class TRHSM_PLATFORM_EXPORT KOPI_CommClient {
 public:
  const char* getJobResultsDirectory(const char* client);

 private:
  std::string value_;
};

// The client that this process serves: sFOCUS_CLIENT under Base, or null.
class TRHSM_PLATFORM_EXPORT KOPI_Focus {
 public:
  const char* getFocusClientName(bool refresh);

 private:
  std::string value_;
};

#endif  // TRHSM_KOPLATFORMINFO_H_
