// applyFileAttr: copies a file's recorded mode, owner and times onto another file.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>

#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

constexpr const char kTag[] = "applyFileAttr";

// Runs `call` again while it is interrupted; its result otherwise.
template <typename Call>
int RetryOnEintr(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}

}  // namespace

bool applyFileAttr(const struct stat& st, const char* path) {
  EvDebug log;
  if (path == nullptr) {
    log.Error(kTag, "Invalid NULL path passed as input.");
    return false;
  }
  bool result = true;
  // Each step is tried even after a failure: whatever can be applied is.
  if (RetryOnEintr([&] { return ::chmod(path, st.st_mode); }) < 0) {
    log.Error(kTag, "Failed to chmod %s: %s", path, std::strerror(errno));
    result = false;
  }
  if (RetryOnEintr([&] { return ::chown(path, st.st_uid, st.st_gid); }) < 0) {
    log.Error(kTag, "Failed to chown %s: %s", path, std::strerror(errno));
    result = false;
  }
  struct utimbuf times;
  times.actime = st.st_atime;
  times.modtime = st.st_mtime;
  if (RetryOnEintr([&] { return ::utime(path, &times); }) < 0) {
    log.Error(kTag, "Failed to change mtime/atime of %s: %s", path, std::strerror(errno));
    result = false;
  }
  return result;
}
