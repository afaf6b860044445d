// Scoped descriptors and temporary files for the programs that replace files beside themselves.
#ifndef TRHSM_TOOLS_SCOPED_FILE_H_
#define TRHSM_TOOLS_SCOPED_FILE_H_

#include <unistd.h>

#include <string>
#include <utility>

namespace trhsm_tools {

// Owns a descriptor; closes it on destruction unless Close() was called.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting the result (a delayed write error shows here on some file systems).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// A temporary file until it is renamed into place: removed on destruction unless kept, so no
// failure path leaves it behind.
class Temporary {
 public:
  explicit Temporary(std::string path) : path_(std::move(path)) {}
  ~Temporary() {
    if (!kept_) ::unlink(path_.c_str());
  }
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_SCOPED_FILE_H_
