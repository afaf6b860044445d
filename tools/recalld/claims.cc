// The state-folder lock and the run folder's list of watched trees (tools/recalld/claims.h).
#include "tools/recalld/claims.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "tools/scoped_file.h"

namespace recalld {
namespace {

using trhsm_tools::Fd;

constexpr char kSuffix[] = ".trees";

bool MakeFolder(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  return false;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

// The tree of `other` (a live daemon's list) that overlaps one of `trees`; "" when none does.
std::string Overlap(const std::string& other, const std::vector<std::string>& trees,
                    std::string* mine) {
  std::istringstream lines(other);
  std::string theirs;
  while (std::getline(lines, theirs)) {
    for (const std::string& tree : trees) {
      if (Within(tree, theirs) || Within(theirs, tree)) {
        *mine = tree;
        return theirs;
      }
    }
  }
  return "";
}

}  // namespace

bool Within(const std::string& path, const std::string& tree) {
  if (tree == "/") return true;
  return path.compare(0, tree.size(), tree) == 0 &&
         (path.size() == tree.size() || path[tree.size()] == '/');
}

Claims::~Claims() {
  if (runFile_ >= 0) {
    ::unlink(runPath_.c_str());
    ::close(runFile_);
  }
  if (stateLock_ >= 0) ::close(stateLock_);
}

std::string Claims::Take(const std::string& state, const std::string& run,
                         const std::vector<std::string>& trees) {
  if (!MakeFolder(state, 0700))
    return "cannot make state folder " + state + ": " + std::strerror(errno);
  if (!MakeFolder(run, 0755)) return "cannot make run folder " + run + ": " + std::strerror(errno);
  const std::string stateLock = state + "/lock";
  stateLock_ =
      ::open(stateLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (stateLock_ < 0) return "cannot open " + stateLock + ": " + std::strerror(errno);
  if (::flock(stateLock_, LOCK_EX | LOCK_NB) != 0) {
    return "state folder " + state + " is in use by another trhsm-recalld; give each daemon its " +
           "own --state";
  }
  // One daemon at a time looks at the list and adds itself to it.
  const std::string listLock = run + "/lock";
  Fd guard(::open(listLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  if (guard.get() < 0 || ::flock(guard.get(), LOCK_EX) != 0) {
    return "cannot lock " + listLock + ": " + std::strerror(errno);
  }
  Fd dirFd(trhsm_tools::OpenFolder(run, true));
  DIR* dir = dirFd.get() < 0 ? nullptr : ::fdopendir(dirFd.release());
  if (dir == nullptr) return "cannot read run folder " + run + ": " + std::strerror(errno);
  std::string problem;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() <= sizeof kSuffix - 1 ||
        name.compare(name.size() - (sizeof kSuffix - 1), std::string::npos, kSuffix) != 0) {
      continue;
    }
    const std::string path = run + "/" + name;
    Fd other(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (other.get() < 0) continue;
    if (::flock(other.get(), LOCK_SH | LOCK_NB) == 0) {
      ::unlink(path.c_str());  // its daemon is gone
      continue;
    }
    std::string mine;
    const std::string theirs = Overlap(ReadAll(other.get()), trees, &mine);
    if (!theirs.empty() && problem.empty()) {
      problem = "tree " + mine + " overlaps " + theirs + ", watched by the trhsm-recalld of " +
                "process " + name.substr(0, name.size() - (sizeof kSuffix - 1));
    }
  }
  ::closedir(dir);
  if (!problem.empty()) return problem;
  runPath_ = run + "/" + std::to_string(::getpid()) + kSuffix;
  runFile_ = ::open(runPath_.c_str(),
                    O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (runFile_ < 0 || ::flock(runFile_, LOCK_EX) != 0) {
    return "cannot write " + runPath_ + ": " + std::strerror(errno);
  }
  std::string text;
  for (const std::string& tree : trees) text += tree + "\n";
  if (::write(runFile_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return "cannot write " + runPath_ + ": " + std::strerror(errno);
  }
  return "";
}

}  // namespace recalld
