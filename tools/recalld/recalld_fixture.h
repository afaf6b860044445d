// The harness of trhsm-recalld's tests: the program run on a tree that is a mount of its own (a
// bind mount of a scratch folder), so that its marks see no file outside the test.
#ifndef TRHSM_TOOLS_RECALLD_RECALLD_FIXTURE_H_
#define TRHSM_TOOLS_RECALLD_RECALLD_FIXTURE_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "gtest/gtest.h"
#include "platform/archive.h"
#include "platform/archive_identity.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace recalld_test {

using trhsm_test::Contains;
using trhsm_test::ReadFile;
using trhsm_test::WriteFile;

inline std::string Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

struct Daemon {
  pid_t pid = -1;
  int err = -1;     // its standard error
  std::string log;  // read from it so far
};

class Recalld : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "fanotify permission events need root";
    const int fan = ::fanotify_init(FAN_CLASS_PRE_CONTENT, O_RDONLY);
    if (fan < 0) GTEST_SKIP() << "the kernel refuses fanotify: " << std::strerror(errno);
    ::close(fan);
    tree_ = dir_.File("tree");
    ASSERT_EQ(::mkdir(tree_.c_str(), 0755), 0);
    if (::mount(tree_.c_str(), tree_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      GTEST_SKIP() << "cannot give the test tree a mount of its own: " << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    for (Daemon& d : daemons_) Stop(d, SIGKILL);
    for (const std::string& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
    if (mounted_) ::umount2(tree_.c_str(), MNT_DETACH);
  }

  // Writes `data` as tree/<name>, archives it, and puts its stub in its place (under a new inode,
  // as the stub job does); returns the stub record.
  std::string Stub(const std::string& name, const std::string& data) {
    const std::string path = tree_ + "/" + name, scratch = dir_.File("scratch");
    WriteFile(scratch, data);
    int64_t offset = 0;
    std::string error;
    EXPECT_TRUE(trhsm::platform::AppendCopy(dir_.File("archive"), 1, 1, scratch, &offset, &error))
        << error;
    offsets_[name] = offset;
    const std::string text = "1:0:1:1:" + std::to_string(offset) +
                             ":1:" + std::to_string(name.size()) + ":" + name + "|1700000000";
    std::string record(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
    trhsm_meta2stub(text.c_str(), 0, &record[0], static_cast<int>(record.size()));
    Restub(name, record);
    return record;
  }
  void Restub(const std::string& name, const std::string& record) {
    const std::string path = tree_ + "/" + name, fresh = path.substr(0, path.rfind('/')) + "/.new";
    WriteFile(fresh, record);
    EXPECT_EQ(::chmod(fresh.c_str(), 0640), 0);
    EXPECT_EQ(::rename(fresh.c_str(), path.c_str()), 0);
  }

  Daemon Start(std::vector<std::string> args, bool waitReady = true) {
    const std::vector<std::string> common = {TRHSM_RECALLD, "--foreground",
                                             "--archive",   dir_.File("archive"),
                                             "--run",       dir_.File("run")};
    args.insert(args.begin(), common.begin(), common.end());
    int pipeFds[2];
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    Daemon d;
    d.pid = ::fork();
    if (d.pid == 0) {
      ::dup2(pipeFds[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    d.err = pipeFds[0];
    if (waitReady) {
      EXPECT_TRUE(WaitLine(&d, "trhsm-recalld: watching ")) << d.log;
    }
    daemons_.push_back(d);
    return d;
  }
  Daemon StartOn(const std::string& state, unsigned jobs = 4) {
    return Start({"--state", dir_.File(state), "--jobs", std::to_string(jobs), tree_});
  }
  // Reads the daemon's log until a line holds `fragment` (true) or it ends.
  static bool WaitLine(Daemon* d, const std::string& fragment, int limitMs = 60000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    size_t from = d->log.size();
    for (;;) {
      const size_t at = d->log.find(fragment, from > fragment.size() ? from - fragment.size() : 0);
      if (at != std::string::npos && d->log.find('\n', at) != std::string::npos) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      struct pollfd p = {d->err, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[4096];
      const ssize_t n = ::read(d->err, buf, sizeof buf);
      if (n <= 0) return false;
      from = d->log.size();
      d->log.append(buf, static_cast<size_t>(n));
    }
  }
  // Takes in the rest of the daemon's log, once it has ended.
  static void Drain(Daemon* d) {
    char buf[4096];
    for (ssize_t n; (n = ::read(d->err, buf, sizeof buf)) > 0;) d->log.append(buf, size_t(n));
  }
  // Signals the daemon; its exit status (-1: killed or still running after a minute).
  int Stop(Daemon& d, int sig = SIGTERM) {
    if (d.pid <= 0) return -1;
    ::kill(d.pid, sig);
    const int status = trhsm_test::WaitChild(d.pid, 60000);
    Drain(&d);
    ::close(d.err);
    for (Daemon& known : daemons_) {
      if (known.pid == d.pid) known.pid = -1;
    }
    d.pid = -1;
    return status;
  }
  // No intent record is left in the state folder (its slots are empty).
  bool NoIntents() const {
    for (const std::string& name : trhsm_test::ListFolder(dir_.File("state"))) {
      if (name != "lock" && !ReadFile(dir_.File("state/" + name)).empty()) return false;
    }
    return true;
  }
  std::string Summary(Daemon* d) {
    ::kill(d->pid, SIGUSR1);
    EXPECT_TRUE(WaitLine(d, "summary: "));
    return d->log.substr(d->log.rfind("summary: "));
  }

  trhsm_test::ScratchDir dir_;
  std::string tree_;
  bool mounted_ = false;
  std::vector<Daemon> daemons_;
  std::map<std::string, int64_t> offsets_;  // of each stub's copy
  std::vector<std::string> mounts_;         // made by a test, undone after it
};

// A reader in a child process: 0 when it read `data`, 1 the stub record `record` (allowed without
// a recall: the daemon was gone), 2 when the open failed with EIO, 3 anything else.
inline int StartReader(const std::string& path, const std::string& data,
                       const std::string& record) {
  return trhsm_test::StartChild([&] {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return errno == EIO ? 2 : 3;
    std::string got;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) got.append(buf, size_t(n));
    return got == data ? 0 : got.compare(0, record.size(), record) == 0 ? 1 : 3;
  });
}

}  // namespace recalld_test

#endif  // TRHSM_TOOLS_RECALLD_RECALLD_FIXTURE_H_
