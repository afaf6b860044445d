// trhsm-recalld: makes the stubs below the watched trees transparent (options.h for the command
// line, event_loop.h for the events, inplace_recall.h for a recall, recovery.h for the start).
//
// Where things are kept: the intents of recalls in progress in the state folder, the list of
// watched trees in the run folder, the log in --log FILE or standard error. None of them may lie
// in a watched tree: the daemon's own opens there would raise events that it answers itself, and
// the daemon never writes into a tree it watches. The marks are mount marks (every open on the
// mount that holds a tree is seen, and those outside the trees are let through at once); giving a
// tree a mount of its own (mount --bind TREE TREE) keeps the rest of the file system unwatched.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "tools/recalld/claims.h"
#include "tools/recalld/event_loop.h"
#include "tools/recalld/fanotify_compat.h"
#include "tools/recalld/inplace_recall.h"
#include "tools/recalld/intent.h"
#include "tools/recalld/log.h"
#include "tools/recalld/options.h"
#include "tools/recalld/recovery.h"
#include "tools/report_text.h"
#include "tools/scoped_file.h"
#include "tools/text_escape.h"

namespace {

using recalld::Options;

// Exit statuses: 0 stopped by a signal, 1 could not start, 2 usage, privilege or kernel support.
constexpr int kRefused = 1;
constexpr int kUnsupported = 2;

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "trhsm-recalld: %s\n", line.c_str());
  return status;
}

// The canonical form of `path`, which need not exist yet (its folder must): "" when it cannot be
// had.
std::string Canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == ".." ||
      ::realpath(folder.c_str(), resolved) == nullptr) {
    return "";
  }
  const std::string parent = resolved;
  return (parent == "/" ? "" : parent) + "/" + base;
}

// "" when the trees are folders and no path the daemon writes lies in one; else the usage problem.
std::string CheckPlaces(Options* o) {
  for (std::string& tree : o->trees) {
    struct stat st;
    const std::string canonical = Canonical(tree);
    if (canonical.empty() || ::stat(canonical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return "TREE " + trhsm_tools::CQuote(tree) + " is not a folder";
    }
    tree = canonical;
  }
  // The archive takes the identity records of recalled files; the stand-ins' log (KO_LOG_FILE)
  // takes what the library logs.
  const char* libraryLog = std::getenv("KO_LOG_FILE");
  std::string koLog = libraryLog != nullptr ? libraryLog : "";
  const std::pair<const char*, std::string*> places[] = {{"--state", &o->state},
                                                         {"--run", &o->run},
                                                         {"--log", &o->log},
                                                         {"--archive", &o->archive},
                                                         {"KO_LOG_FILE", &koLog}};
  for (const auto& place : places) {
    if (place.second->empty()) continue;
    const std::string canonical = Canonical(*place.second);
    if (canonical.empty()) {
      return std::string(place.first) + " " + trhsm_tools::CQuote(*place.second) +
             ": its folder does not exist";
    }
    for (const std::string& tree : o->trees) {
      if (recalld::Within(canonical, tree)) {
        return std::string(place.first) + " " + trhsm_tools::CQuote(*place.second) +
               " lies inside the watched tree " + trhsm_tools::CQuote(tree) +
               "; give a place outside it";
      }
    }
    *place.second = canonical;
  }
  return "";
}

// Without --foreground: the parent returns (from main) once the child watches, with the child's
// exit status if it could not start; the child goes on in a session of its own.
bool Detach(int* parentStatus, int* readyFd) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid > 0) {
    ::close(pipeFds[1]);
    char byte = 0;
    ssize_t n;
    do {
      n = ::read(pipeFds[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    int status = 0;
    if (n == 1) {
      *parentStatus = 0;
    } else {
      ::waitpid(pid, &status, 0);
      *parentStatus = WIFEXITED(status) ? WEXITSTATUS(status) : kRefused;
    }
    return true;
  }
  ::close(pipeFds[0]);
  ::setsid();
  *readyFd = pipeFds[1];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked in every thread (the log's writer starts early), taken from a signalfd by the loop.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  Options o;
  const std::string problem = recalld::ParseOptions(argc, argv, &o);
  if (!problem.empty()) return recalld::Usage(problem);
  if (o.help) {
    recalld::PrintHelp();
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  // Pre-content class: the daemon may then choose the error of a denial.
  const int fan = ::fanotify_init(FAN_CLASS_PRE_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK |
                                      FAN_UNLIMITED_QUEUE | FAN_UNLIMITED_MARKS,
                                  O_RDONLY | O_LARGEFILE | O_CLOEXEC);
  if (fan < 0 && errno == EPERM) {
    return Fail(kUnsupported, "watching opens needs root (CAP_SYS_ADMIN); run it as root");
  }
  if (fan < 0) {
    return Fail(kUnsupported, std::string("this kernel offers no fanotify permission events (") +
                                  std::strerror(errno) + ")");
  }
  if (o.archive.empty() && !trhsm::platform::ConfiguredArchiveRoot(&o.archive)) {
    const std::string registry = trhsm_tools::RegistryProblem();
    return Fail(kRefused, (registry.empty() ? std::string("no archive root configured (") +
                                                  trhsm::archive_format::kRootValue + " under " +
                                                  trhsm::archive_format::kRootKey + ")"
                                            : registry) +
                              "; give --archive DIR");
  }
  const std::string places = CheckPlaces(&o);
  if (!places.empty()) return recalld::Usage(places);
  int status = 0, readyFd = -1;
  if (!o.foreground) {
    if (!Detach(&status, &readyFd))
      return Fail(kRefused, std::string("fork: ") + std::strerror(errno));
    if (readyFd < 0) return status;  // the parent
  }
  const int logFd =
      o.log.empty()
          ? STDERR_FILENO
          : ::open(o.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
  if (logFd < 0) return Fail(kRefused, "cannot open log " + o.log + ": " + std::strerror(errno));
  recalld::Log log(logFd, !o.log.empty());
  recalld::Claims claims;
  const std::string taken = claims.Take(o.state, o.run, o.trees);
  if (!taken.empty()) return Fail(kRefused, taken);
  log.Start();
  const size_t unsettled = recalld::RecoverAll(o.state, o.archive, &log);
  if (unsettled > 0) {
    log.Line(std::to_string(unsettled) + " unfinished recalls could not be settled (see above); " +
             "they stay for the next start");
  }
  std::vector<unsigned> slots;  // one for each worker; the slots still full are left alone
  std::string error;
  if (!recalld::PrepareSlots(o.state, o.jobs, &slots, &error)) return Fail(kRefused, error);
  uint64_t mask = FAN_OPEN_PERM | FAN_PRE_ACCESS;
  for (const std::string& tree : o.trees) {
    if (::fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, mask, AT_FDCWD, tree.c_str()) == 0) {
      continue;
    }
    if ((errno == EINVAL || errno == EOPNOTSUPP) && (mask & FAN_PRE_ACCESS)) {
      // Pre-content events are refused (EINVAL: an older kernel; EOPNOTSUPP: a file system
      // without them): every recall then happens at open, which is where nearly all of them
      // happen anyway.
      mask = FAN_OPEN_PERM;
      ::fanotify_mark(fan, FAN_MARK_FLUSH | FAN_MARK_MOUNT, 0, AT_FDCWD, nullptr);
      if (::fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, mask, AT_FDCWD, tree.c_str()) == 0) {
        for (const std::string& done : o.trees) {
          if (&done == &tree) break;
          ::fanotify_mark(fan, FAN_MARK_ADD | FAN_MARK_MOUNT, mask, AT_FDCWD, done.c_str());
        }
        continue;
      }
    }
    log.Stop();
    return Fail(kUnsupported, "cannot watch " + tree + ": " + std::strerror(errno));
  }
  trhsm_tools::Fd signals(::signalfd(-1, &set, SFD_CLOEXEC));
  if (signals.get() < 0) return Fail(kRefused, std::string("signalfd: ") + std::strerror(errno));
  recalld::InPlaceRecaller recaller(o.archive, o.state);
  bool ok = false;
  recalld::Totals totals;
  {
    recalld::EventLoop loop(fan, signals.get(), mask, o.trees, slots, &recaller, &log);
    std::string trees;
    for (const std::string& tree : o.trees) trees += " " + tree;
    log.Line("watching" + trees + " (" +
             (mask & FAN_PRE_ACCESS ? "recalls at open or first read" : "recalls at open") + ", " +
             trhsm_tools::Count(o.jobs, "job", "jobs") + ")");
    if (readyFd >= 0) {
      (void)!::write(readyFd, "1", 1);
      ::close(readyFd);
      const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      ::dup2(null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      if (!o.log.empty()) ::dup2(null, STDERR_FILENO);
    }
    ok = loop.Run(&totals);
    // Whatever still waits goes on, before the workers are joined: after a fatal error one may be
    // waiting on an event of its own that no loop answers any more.
    ::close(fan);
  }
  log.Line(totals.Text());
  log.Line(ok ? "stopped" : "stopped after an error");
  log.Stop();
  return ok ? 0 : kRefused;
}
