// Reading a whole small file in one piece.
#include "platform/file_text.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "trhsm/KoFile.h"

namespace trhsm {
namespace platform {

int ReadFileText(const char* path, std::string* text) {
  text->clear();
  int fd = open_utf(path, O_RDONLY, 0);
  if (fd < 0) return errno;
  char chunk[8192];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      text->clear();
      return error;
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

}  // namespace platform
}  // namespace trhsm
