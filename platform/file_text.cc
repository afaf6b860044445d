// Reading a whole small file in one piece.
#include "platform/file_text.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "trhsm/KoFile.h"

namespace trhsm {
namespace platform {

namespace {

// Closes the descriptor however the reading ends, an append that runs out of memory included.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { ::close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

}  // namespace

int ReadFileText(const char* path, std::string* text) {
  text->clear();
  int fd = open_utf(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  FdCloser closer(fd);
  char chunk[8192];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      text->clear();
      return error;
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace platform
}  // namespace trhsm
