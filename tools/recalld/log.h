// The daemon's log: lines go to a file or standard error through a thread of their own, so that
// the event loop never waits on the output. A log written through a service whose own opens the
// daemon holds (a journal writer opening a file in a watched tree) could otherwise wait on the
// daemon while the daemon waits on it. When lines come faster than they can be written, the
// oldest waiting ones are dropped and the count of dropped lines is logged.
#ifndef TRHSM_TOOLS_RECALLD_LOG_H_
#define TRHSM_TOOLS_RECALLD_LOG_H_

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace recalld {

class Log {
 public:
  // Writes to `fd` (owned when `owned`), once Start() is called; lines before that wait.
  Log(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void Start();
  // Queues "<time> trhsm-recalld: <text>\n". Thread-safe; never blocks on the output.
  void Line(const std::string& text);
  // Writes what is queued and ends the writer thread.
  void Stop();

 private:
  void Run();

  int fd_;
  bool owned_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  size_t dropped_ = 0;
  bool stop_ = false;
  std::thread writer_;
};

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_LOG_H_
