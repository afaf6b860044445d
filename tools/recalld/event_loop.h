// The loop that answers fanotify permission events, and the workers that recall.
//
// The loop never waits on a recall: an event is answered at once unless its file may be a stub
// (a regular file of a stub record's size, under a watched tree, whose first bytes are a stub
// record's signature); such an event becomes a job for one of --jobs worker threads, and every
// later event of the same inode waits on that job. The loop reads only through the events' own
// descriptors, whose reads and status raise no events. Events raised by the daemon itself (a
// worker opening the archive, its state folder or the stub for writing) are allowed at once,
// first of all, so that no worker ever waits on an event that only it could answer.
// A file found not to be a stub (or recalled) gets an ignore mark for its inode (evictable: it
// does not keep the inode in memory), so that its later opens and reads raise no event at all
// until the file is written to: the kernel clears such a mark on the first change, so a file
// that becomes a stub (a temporary the stub job fills and renames into place, or a file rewritten
// in place) is looked at again.
#ifndef TRHSM_TOOLS_RECALLD_EVENT_LOOP_H_
#define TRHSM_TOOLS_RECALLD_EVENT_LOOP_H_

#include <sys/fanotify.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/recalld/inplace_recall.h"
#include "tools/recalld/log.h"

namespace recalld {

// What the summary reports (at exit and on SIGUSR1).
struct Totals {
  uint64_t recalls = 0, bytes = 0, failures = 0;
  uint64_t waits = 0;                 // events answered after a recall
  double delaySum = 0, delayMax = 0;  // seconds those events waited
  std::string Text() const;
};

class EventLoop {
 public:
  // `fan`: the fanotify group, its marks placed with `mask`; `signals`: a signalfd of SIGTERM,
  // SIGINT and SIGUSR1. Neither is owned. One worker for each intent slot of `slots`.
  EventLoop(int fan, int signals, uint64_t mask, std::vector<std::string> trees,
            const std::vector<unsigned>& slots, const InPlaceRecaller* recaller, Log* log);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Answers events until SIGTERM or SIGINT; then removes the marks, undoes the recalls in
  // progress, answers every waiting event and returns the totals. False on a fatal error.
  bool Run(Totals* totals);

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    std::pair<dev_t, ino_t> key;
    int fd = -1;  // the first event's descriptor, which the recall reads through
    std::string path;
    std::vector<std::pair<int, Clock::time_point>> waiters;  // descriptors of events, and since
    RecallResult result;
  };

  bool ReadEvents();
  void OnEvent(const struct fanotify_event_metadata& event);
  void OnDone();
  void Finish(const std::shared_ptr<Job>& job);
  void Answer(int fd, bool allow);
  void IgnoreFromNowOn(int fd);
  bool UnderTrees(int fd, std::string* path) const;
  void Work(unsigned slot);  // a worker, with its intent slot

  int fan_;
  int signals_;
  uint64_t mask_;
  std::vector<std::string> trees_;
  const InPlaceRecaller* recaller_;
  Log* log_;
  pid_t self_;
  uint32_t deny_;
  bool ignoreMarks_ = true;
  bool stopping_ = false;
  Totals totals_;
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<Job>> active_;

  int wake_ = -1;  // eventfd: a worker finished a job
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Job>> todo_, done_;
  bool quit_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_EVENT_LOOP_H_
