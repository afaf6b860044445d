// The log sink: line layout, and the cached O_APPEND descriptor of the current log file.
#include "platform/log_sink.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/no_destructor.h"

namespace trhsm {
namespace platform {
namespace {

// Holds the descriptor of the file KO_LOG_FILE named at the last message. The path is compared at
// every message, and the file's identity too, so a changed variable or a log file that was removed
// or replaced sends the next line to the file that the path names now.
class LogSink {
 public:
  LogSink() {
    // A child forked while another thread held the mutex would wait on it for ever; hold it across
    // fork so that both sides start with it free.
    pthread_atfork([] { Instance()->mu_.lock(); }, [] { Instance()->mu_.unlock(); },
                   [] { Instance()->mu_.unlock(); });
  }

  static LogSink* Instance() {
    static NoDestructor<LogSink> sink;
    return sink.get();
  }

  void Append(const std::string& line) {
    std::lock_guard<std::mutex> hold(mu_);
    int fd = STDERR_FILENO;
    const char* path = std::getenv("KO_LOG_FILE");
    if (path != nullptr && *path != '\0') {
      int file = FileFor(path);
      if (file >= 0) fd = file;
    }
    WriteAll(fd, line);
  }

 private:
  int FileFor(const char* path) {
    struct stat now;
    if (fd_ >= 0 && path_ == path && ::stat(path, &now) == 0 && now.st_dev == dev_ &&
        now.st_ino == ino_) {
      return fd_;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
    int fd;
    do {
      fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    struct stat opened;
    if (fd < 0) return -1;
    if (::fstat(fd, &opened) != 0) {
      ::close(fd);
      return -1;
    }
    fd_ = fd;
    path_ = path;
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    return fd_;
  }

  // One write(2) carries the whole line; only a short write (a full disk, a signal) needs more.
  static void WriteAll(int fd, const std::string& line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
  }

  std::mutex mu_;
  std::string path_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

void AppendSanitized(const char* text, size_t length, std::string* out) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      out->append("\\n");
    } else if (text[i] == '\r') {
      out->append("\\r");
    } else {
      out->push_back(text[i]);
    }
  }
}

void AppendTime(std::string* out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char text[64];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  n += static_cast<size_t>(
      snprintf(text + n, sizeof text - n, ".%06ld", static_cast<long>(now.tv_nsec / 1000)));
  n += strftime(text + n, sizeof text - n, "%z", &local);
  out->append(text, n);
}

}  // namespace

void WriteLogLine(const char* kind, const char* tag, const std::string& message) noexcept {
  try {
    size_t length = message.size();
    while (length > 0 && message[length - 1] == '\n') --length;
    std::string line;
    line.reserve(length + 96);
    AppendTime(&line);
    line.append(" ");
    line.append(std::to_string(getpid()));
    line.append(" ");
    line.append(std::to_string(gettid()));
    line.append(" ");
    line.append(kind);
    line.append(" ");
    if (tag != nullptr && *tag != '\0') {
      AppendSanitized(tag, strlen(tag), &line);
    } else {
      line.append("-");
    }
    line.append(": ");
    AppendSanitized(message.data(), length, &line);
    line.push_back('\n');
    LogSink::Instance()->Append(line);
  } catch (...) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

}  // namespace platform
}  // namespace trhsm
