// File opening with close-on-exec descriptors; paths are UTF-8 already and pass unchanged.
#include "trhsm/KoFile.h"

#include <errno.h>
#include <fcntl.h>

#include <cstring>
#include <string>

FILE* fopen_utf(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // "e" is the C library's close-on-exec mode flag; a child started by exec must not inherit
  // the stream's descriptor.
  std::string withCloexec(mode);
  if (withCloexec.find('e') == std::string::npos) withCloexec.push_back('e');
  FILE* file;
  do {
    file = std::fopen(path, withCloexec.c_str());
  } while (file == nullptr && errno == EINTR);
  return file;
}

int open_utf(const char* path, int flags, int mode) {
  if (path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
