// The event loop and its workers (tools/recalld/event_loop.h).
#include "tools/recalld/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stub/record_format.h"
#include "tools/recalld/claims.h"
#include "tools/recalld/fanotify_compat.h"
#include "tools/report_text.h"
#include "tools/text_escape.h"

namespace recalld {
namespace {

namespace sr = trhsm::stub_record;

bool HasStubSignature(int fd) {
  unsigned char bytes[8];
  if (::pread(fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return false;
  uint64_t signature = 0;
  for (unsigned char b : bytes) signature = (signature << 8) | b;
  return signature == sr::kSignature;
}

std::string Millis(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000.0);
  return text;
}

}  // namespace

std::string Totals::Text() const {
  std::string text = "summary: " + trhsm_tools::Count(recalls, "recall", "recalls") + ", " +
                     trhsm_tools::Bytes(bytes) + ", " +
                     trhsm_tools::Count(failures, "failure", "failures");
  if (waits > 0) {
    text += "; " + trhsm_tools::Count(waits, "open waited", "opens waited") + ", mean delay " +
            Millis(delaySum / static_cast<double>(waits)) + ", largest " + Millis(delayMax);
  }
  return text;
}

EventLoop::EventLoop(int fan, int signals, uint64_t mask, std::vector<std::string> trees,
                     const std::vector<unsigned>& slots, const InPlaceRecaller* recaller, Log* log)
    : fan_(fan),
      signals_(signals),
      mask_(mask),
      trees_(std::move(trees)),
      recaller_(recaller),
      log_(log),
      self_(::getpid()),
      deny_(FAN_DENY_ERRNO(EIO)) {
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  for (unsigned slot : slots) workers_.emplace_back([this, slot] { Work(slot); });
}

EventLoop::~EventLoop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    stop_ = true;
    cv_.notify_all();
  }
  for (std::thread& t : workers_) t.join();
  if (wake_ >= 0) ::close(wake_);
}

void EventLoop::Work(unsigned slot) {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return quit_ || !todo_.empty(); });
      if (todo_.empty()) return;
      job = todo_.front();
      todo_.pop_front();
    }
    // The waiting processes are answered as soon as the data is whole; the sync follows.
    bool answered = false;
    const std::string path = job->path;
    auto answer = [&](const RecallResult& result) {
      job->result = result;
      {
        std::lock_guard<std::mutex> lock(mu_);
        done_.push_back(job);
      }
      answered = true;
      const uint64_t one = 1;
      (void)!::write(wake_, &one, sizeof one);  // the loop drains done_ on every wake-up
    };
    RecallResult r;
    if (stop_) {
      r.kind = RecallResult::kStopped;
    } else {
      r = recaller_->Recall(job->fd, path, slot, stop_, [&](uint64_t bytes) {
        RecallResult whole;
        whole.kind = RecallResult::kRecalled;
        whole.bytes = bytes;
        answer(whole);
      });
    }
    if (!answered) {
      answer(r);
    } else if (!r.error.empty()) {
      log_->Line("recalled " + trhsm_tools::CQuote(path) + ", but " + r.error);
    }
  }
}

void EventLoop::Answer(int fd, bool allow) {
  struct fanotify_response response = {fd, allow ? static_cast<uint32_t>(FAN_ALLOW) : deny_};
  if (::write(fan_, &response, sizeof response) < 0 && !allow && errno == EINVAL &&
      deny_ != FAN_DENY) {
    // This kernel lets no daemon choose the error: the opener gets EPERM.
    deny_ = FAN_DENY;
    response.response = FAN_DENY;
    (void)!::write(fan_, &response, sizeof response);
  }
  ::close(fd);
}

void EventLoop::IgnoreFromNowOn(int fd) {
  if (!ignoreMarks_) return;
  if (::fanotify_mark(fan_, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK | FAN_MARK_EVICTABLE, mask_, fd,
                      nullptr) != 0 &&
      errno == EINVAL) {
    ignoreMarks_ = false;  // no evictable marks here; marks that pin inodes would grow unbounded
  }
}

bool EventLoop::UnderTrees(int fd, std::string* path) const {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::vector<char> target(4096);
  const ssize_t n = ::readlink(link, target.data(), target.size());
  if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
  path->assign(target.data(), static_cast<size_t>(n));
  for (const std::string& tree : trees_) {
    if (Within(*path, tree)) return true;
  }
  return false;
}

void EventLoop::OnEvent(const struct fanotify_event_metadata& e) {
  if (e.fd < 0) return;  // queue overflow, or no file
  if (!(e.mask & (FAN_OPEN_PERM | FAN_PRE_ACCESS))) {
    ::close(e.fd);
    return;
  }
  if (e.pid == self_) return Answer(e.fd, true);
  struct stat st;
  if (::fstat(e.fd, &st) != 0) return Answer(e.fd, true);
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  const auto found = active_.find(key);
  if (found != active_.end()) {
    found->second->waiters.emplace_back(e.fd, Clock::now());
    return;
  }
  // Decided from the size before anything is read: most files are no stubs.
  const bool mayBeStub =
      S_ISREG(st.st_mode) && st.st_size >= sr::kOverhead && st.st_size <= sr::kMaxRecordLength;
  std::string path;
  if (!mayBeStub || !HasStubSignature(e.fd) || !UnderTrees(e.fd, &path)) {
    if (S_ISREG(st.st_mode)) IgnoreFromNowOn(e.fd);
    return Answer(e.fd, true);
  }
  if (stopping_) {
    log_->Line("stopping: " + trhsm_tools::CQuote(path) + " not recalled");
    return Answer(e.fd, false);
  }
  auto job = std::make_shared<Job>();
  job->key = key;
  job->fd = e.fd;
  job->path = path;
  job->waiters.emplace_back(e.fd, Clock::now());
  active_[key] = job;
  std::lock_guard<std::mutex> lock(mu_);
  todo_.push_back(job);
  cv_.notify_one();
}

void EventLoop::Finish(const std::shared_ptr<Job>& job) {
  const RecallResult& r = job->result;
  const bool allow = r.kind == RecallResult::kRecalled || r.kind == RecallResult::kNotStub;
  if (r.kind == RecallResult::kRecalled) {
    ++totals_.recalls;
    totals_.bytes += r.bytes;
    IgnoreFromNowOn(job->fd);
  } else if (r.kind == RecallResult::kFailed) {
    ++totals_.failures;
    log_->Line("refused " + trhsm_tools::CQuote(job->path) + ": " + r.error);
  } else if (r.kind == RecallResult::kStopped) {
    log_->Line("stopping: the recall of " + trhsm_tools::CQuote(job->path) + " was undone");
  }
  const Clock::time_point now = Clock::now();
  for (const auto& waiter : job->waiters) {
    if (r.kind != RecallResult::kNotStub) {
      const double waited = std::chrono::duration<double>(now - waiter.second).count();
      ++totals_.waits;
      totals_.delaySum += waited;
      if (waited > totals_.delayMax) totals_.delayMax = waited;
    }
    Answer(waiter.first, allow);  // the job's own descriptor is the first waiter's
  }
  active_.erase(job->key);
}

void EventLoop::OnDone() {
  uint64_t count;
  (void)!::read(wake_, &count, sizeof count);
  std::deque<std::shared_ptr<Job>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    done.swap(done_);
  }
  for (const auto& job : done) Finish(job);
}

bool EventLoop::ReadEvents() {
  alignas(struct fanotify_event_metadata) char buf[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fan_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    // Another error is one event whose descriptor the kernel could not open (it has denied
    // that event itself); the others stay queued.
    if (n < 0) return true;
    if (n == 0) return false;
    ssize_t left = n;
    for (auto* e = reinterpret_cast<struct fanotify_event_metadata*>(buf); FAN_EVENT_OK(e, left);
         e = FAN_EVENT_NEXT(e, left)) {
      if (e->vers != FANOTIFY_METADATA_VERSION) {
        log_->Line("the kernel reports events of another layout; stopping");
        return false;
      }
      OnEvent(*e);
    }
  }
}

bool EventLoop::Run(Totals* totals) {
  if (wake_ < 0) {
    log_->Line(std::string("cannot make an eventfd: ") + std::strerror(errno));
    return false;
  }
  bool ok = true;
  while (!stopping_ || !active_.empty()) {
    struct pollfd fds[3] = {{wake_, POLLIN, 0}, {fan_, POLLIN, 0}, {signals_, POLLIN, 0}};
    if (::poll(fds, stopping_ ? 2 : 3, -1) < 0) {
      if (errno == EINTR) continue;
      log_->Line(std::string("poll: ") + std::strerror(errno));
      ok = false;
      break;
    }
    if (fds[0].revents & POLLIN) OnDone();
    if ((fds[1].revents & POLLIN) && !ReadEvents()) {
      ok = false;
      break;
    }
    if (!stopping_ && (fds[2].revents & POLLIN)) {
      struct signalfd_siginfo info;
      if (::read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      if (info.ssi_signo == SIGUSR1) {
        log_->Line(totals_.Text());
        continue;
      }
      // No new events from here on; the ones queued are still read and answered.
      ::fanotify_mark(fan_, FAN_MARK_FLUSH | FAN_MARK_MOUNT, 0, AT_FDCWD, nullptr);
      ::fanotify_mark(fan_, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
      stopping_ = true;
      stop_ = true;
      ReadEvents();
    }
  }
  // A fatal error leaves jobs behind: the kernel lets their openers go when the group closes.
  *totals = totals_;
  return ok;
}

}  // namespace recalld
