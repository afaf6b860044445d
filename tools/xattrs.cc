// Copies extended attributes between open files; the lists are re-read when they grow meanwhile.
#include "tools/xattrs.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace trhsm_tools {
namespace {

// Calls `get(buffer, size)` with a buffer grown until the answer fits; false with errno set.
template <typename Get>
bool ReadGrowing(Get get, std::vector<char>* out) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t need = get(nullptr, 0);
    if (need < 0) return false;
    out->resize(static_cast<size_t>(need));
    if (need == 0) return true;
    const ssize_t got = get(out->data(), out->size());
    if (got >= 0) {
      out->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew between the two calls
  }
  errno = ERANGE;
  return false;
}

}  // namespace

bool CopyXattrs(int fromFd, int toFd, std::string* error) {
  std::vector<char> names;
  if (!ReadGrowing([&](char* b, size_t n) { return ::flistxattr(fromFd, b, n); }, &names)) {
    if (errno == ENOTSUP) return true;  // the source's file system holds none
    *error = std::string("read extended attributes: ") + std::strerror(errno);
    return false;
  }
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const char* name = names.data() + at;
    const size_t length = ::strnlen(name, names.size() - at);
    at += length + 1;
    if (length == 0) continue;
    if (!ReadGrowing([&](char* b, size_t n) { return ::fgetxattr(fromFd, name, b, n); }, &value)) {
      if (errno == ENODATA) continue;  // removed since it was listed
      *error = "read extended attribute " + std::string(name) + ": " + std::strerror(errno);
      return false;
    }
    if (::fsetxattr(toFd, name, value.data(), value.size(), 0) != 0) {
      *error = "set extended attribute " + std::string(name) + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace trhsm_tools
