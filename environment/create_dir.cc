// Recursive directory creation.
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "trhsm/TRHSMEnvironment.h"

namespace {

// mkdir(2) of `path` with mode 0777, retried on EINTR: true when made or already present.
bool MakeOrFind(const std::string& path) {
  int rc;
  do {
    rc = mkdir(path.c_str(), 0777);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EEXIST;
}

}  // namespace

int CreateDir(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  const std::string target(path);

  // Walk up while the parent is missing, remembering the length of every prefix still to make.
  // Each parent is the prefix before the last '/', so a trailing slash first yields the path
  // itself without it. Working on lengths of one string keeps the walk free of any fixed limit.
  std::vector<size_t> pending;
  size_t length = target.size();
  while (!MakeOrFind(target.substr(0, length))) {
    if (errno != ENOENT) return 0;
    pending.push_back(length);
    size_t slash = target.rfind('/', length - 1);
    // No parent left to make (a relative name, or the root): the path cannot be created.
    if (slash == std::string::npos || slash == 0) return 0;
    length = slash;
  }
  // Then make them downward; another process may make any of them meanwhile.
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    if (!MakeOrFind(target.substr(0, *it))) return 0;
  }

  // EEXIST also comes from a regular file (or anything else) of that name: only a directory is
  // what the caller asked for.
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    errno = EEXIST;
    return 0;
  }
  return 1;
}
