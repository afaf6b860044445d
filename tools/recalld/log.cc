// The log's writer thread (tools/recalld/log.h).
#include "tools/recalld/log.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace recalld {
namespace {

constexpr size_t kMaxWaiting = 10000;

std::string Stamp() {
  struct timespec now = {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts = {};
  ::localtime_r(&now.tv_sec, &parts);
  char text[32];
  const size_t n = ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(text, n);
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to say it
    done += static_cast<size_t>(n);
  }
}

}  // namespace

Log::~Log() {
  Stop();
  if (owned_ && fd_ >= 0) ::close(fd_);
}

void Log::Start() {
  if (!writer_.joinable()) writer_ = std::thread([this] { Run(); });
}

void Log::Line(const std::string& text) {
  std::string line = Stamp() + " trhsm-recalld: " + text + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  if (lines_.size() >= kMaxWaiting) {
    lines_.pop_front();
    ++dropped_;
  }
  lines_.push_back(std::move(line));
  cv_.notify_one();
}

void Log::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    cv_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  // Lines queued without a writer (a start that failed early) are written here.
  std::deque<std::string> rest;
  {
    std::lock_guard<std::mutex> lock(mu_);
    rest.swap(lines_);
  }
  for (const std::string& line : rest) WriteAll(fd_, line);
}

void Log::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !lines_.empty(); });
    if (lines_.empty()) return;  // stopped, all written
    std::string text;
    if (dropped_ > 0) {
      text = Stamp() + " trhsm-recalld: " + std::to_string(dropped_) +
             " log lines dropped (the log could not keep up)\n";
      dropped_ = 0;
    }
    while (!lines_.empty()) {
      text += lines_.front();
      lines_.pop_front();
    }
    lock.unlock();
    WriteAll(fd_, text);
    lock.lock();
  }
}

}  // namespace recalld
