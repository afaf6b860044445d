// Configuration getters, the data-migrator agent queries, CreateDir and the mandatory-lock probe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include <gtest/gtest.h>

#include "testing/call_hooks.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCommon.h"

namespace {

class EnvironmentTest : public ::testing::Test {
 protected:
  void Store(const std::string& text) { trhsm_test::WriteFile(store_, text); }
  bool MakeFile(const std::string& path, mode_t mode) {  // false: the file system refused the mode
    trhsm_test::WriteFile(path, std::string(4096, 'x'));
    struct stat st;
    return ::chmod(path.c_str(), mode) == 0 && ::stat(path.c_str(), &st) == 0 &&
           (st.st_mode & 07777) == mode;
  }
  trhsm_test::ScratchDir dir_;
  const std::string store_ = dir_.File("registry"), path_ = dir_.File("mand"),
                    missing_ = dir_.File("missing");
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", store_};
  trhsm_test::LogCapture log_;
};

// Result and text ("#": none written) of a getter into 16 bytes of '#'; none past `size` written.
using Getter = int (*)(char*, int);
std::string Get(Getter get, int size, bool none = false) {
  char buffer[17] = "################";
  const int rc = get(none ? nullptr : buffer, size), from = std::clamp(size, 0, 16);
  EXPECT_EQ(std::string(buffer + from), std::string(16 - from, '#')) << size;
  return std::to_string(rc) + " " + (buffer[0] == '#' ? "#" : std::string(buffer));
}

TEST_F(EnvironmentTest, GettersAgentClientAndCreateDir) {
  const Getter value = [](char* b, int n) {
    return GetRegistryItemValue("Machines/B", "sV", b, n, false);
  };
  const char* const noHost = "[Base]\nsFOCUS_CLIENT=A\n[Machines/A]\nsHOST_NAME=\n";
  const char* const full =
      "[Base]\ndVELORA_HOME=/opt/velora/base\nsFOCUS_CLIENT=B\n[Machines/A]\nsHOST_NAME=wrong\n"
      "[Machines/B]\nsHOST_NAME=host-b.example\nsV=abcd\n";
  // clang-format off
  const struct { const char* store; Getter get; int size; bool none; const char* out; } rows[] = {
      {nullptr, GetClientName, 16, false, "-1 #"}, {noHost, GetClientName, 16, false, "-1 #"}, {noHost, GetVeloraPath, 16, false, "-1 "},
      {full, GetVeloraPath, 8, false, "0 /opt/ve"}, {full, GetVeloraPath, 1, false, "0 "}, {full, GetClientName, 5, false, "0 host"}, {full, GetClientName, 16, false, "0 host-b.example"},
      {full, value, 5, false, "0 abcd"}, {full, value, 4, false, "-1 "},  // no room for the terminator: emptied
      {full, GetVeloraPath, 0, false, "-1 #"}, {full, GetClientName, -1, false, "-1 #"}, {full, value, 0, false, "-1 #"},  // nothing written
      {full, GetVeloraPath, 8, true, "-1 #"}, {full, GetClientName, 8, true, "-1 #"}, {full, value, 8, true, "-1 #"},
  };
  const std::pair<const char*, const char*> cases[] = {
      {"[Machines/A/TSLY]\nnINSTALL=1\n[Machines/B/TSLY]\nnINSTALL=0\n", "Two nodes with Tessaly detected: A and B, but only one is allowed."},
      {"[Machines/zeta]\n[Machines/B/TSLY]\nnINSTALL=\n[Machines/zeta/TSLY]\nnINSTALL=x\n[Machines/A/TSLY]\nnINSTALL=1\n",
       "Two nodes with Tessaly detected: zeta and B, but only one is allowed."},
      {"[Machines/A]\nnINSTALL=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n[Machines/B/TSLY]\nnINSTALL=no, whatever\n[Machines/C/TSLY]\nsOTHER=1\n", "= B"},
      {"[Machines/A/TSLY]\nsOTHER=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n", "Failed to find node name with Tessaly installed."},
  };
  // clang-format on
  for (const auto& r : rows) {
    if (r.store != nullptr) Store(r.store);
    EXPECT_EQ(Get(r.get, r.size, r.none), r.out) << r.size << " " << r.store;
  }
  std::string text = "stale";
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", text, false) * 10 +
                GetRegistryItemValue("Machines/B", "sMISSING", text, true),
            -1);
  EXPECT_EQ(text, "abcd");
  for (const auto& [store, expected] : cases) {
    Store(store);
    try {
      EXPECT_EQ("= " + getTRHSMClientName(), expected);
    } catch (const KoException& e) {
      EXPECT_EQ(
          e.getMessage() + " " + e.getFunction() + " " + e.getFile() + std::to_string(e.getCode()),
          expected + std::string(" getTRHSMClientName TRHSMCommon-1"));
    }
  }
  // Installed means nINSTALL=1 exactly, on the client's UnixTessaly key.
  Store(
      "[Machines/zero/UnixTessaly]\nnINSTALL=0\n[Machines/eleven/UnixTessaly]\nnINSTALL=11\n"
      "[Machines/blank/UnixTessaly]\nnINSTALL=1 \n[Machines/empty/UnixTessaly]\nnINSTALL=\n"
      "[Machines/other/TSLY]\nnINSTALL=1\n[Machines/none]\n");
  for (const char* client : {"zero", "eleven", "blank", "empty", "other", "none", "nobody", ""})
    EXPECT_FALSE(IsTSLYInstalledOnVm(*client ? client : nullptr)) << client;
  EXPECT_FALSE(IsTSLYInstalled());
  Store("[Machines/a/UnixTessaly]\nnINSTALL=0\n[Machines/one/UnixTessaly]\nnINSTALL=1\n");
  EXPECT_TRUE(IsTSLYInstalledOnVm("one") && IsTSLYInstalled());
  std::string deep = dir_.path();  // about 3000 bytes in 100 missing components
  for (int i = 0; i < 100; ++i) deep += "/component-" + std::to_string(1000000000000000 + i);
  for (const std::string& tail :
       {dir_.File("a/b/c"), dir_.File("a/b/c"), dir_.File("x/y/z/"), dir_.File("p//q///r"), deep}) {
    EXPECT_TRUE(CreateDir(tail.c_str()) == 1 && std::filesystem::is_directory(tail)) << tail;
  }
  const std::string file = dir_.File("plain");
  trhsm_test::WriteFile(file, "data");
  // A name too long shows once its parents are made; a regular file of the very name is no folder.
  for (const auto& [path, error] : {std::pair<std::string, int>{"", 0},
                                    {file + "/sub", ENOTDIR},
                                    {file, EEXIST},
                                    {file + "/", 0},
                                    {dir_.File("made/" + std::string(300, 'n')), ENAMETOOLONG}}) {
    errno = 0;
    EXPECT_TRUE(CreateDir(path.c_str()) == 0 && (error == 0 || errno == error)) << path << errno;
  }
  EXPECT_EQ(CreateDir(nullptr), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.File("made")));
  // Relative names, in a child: made in the working directory; ENOENT once that is gone.
  EXPECT_EQ(trhsm_test::InChild([&] {
              return ::chdir(dir_.path().c_str()) != 0 || CreateDir("gone/a") != 1 ||
                     ::chdir("gone") != 0 || ::rmdir("a") != 0 || ::rmdir("../gone") != 0 ||
                     CreateDir("a/b") != 0 || errno != ENOENT;
            }),
            0);
}

using trhsm_test::Call;
using trhsm_test::ScopedCallHook;
using Regions = std::vector<std::pair<short, off_t>>;  // lock type and start of 10 bytes (0: all)

// Open-file-description locks conflict with the probe's queries as another process's locks do.
int HoldLocks(const std::string& path, const Regions& regions) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  for (const auto& [type, start] : regions) {
    struct flock fl = {};
    fl.l_type = type, fl.l_whence = SEEK_SET, fl.l_start = start;
    fl.l_len = start == 0 && regions.size() == 1 ? 0 : 10;
    if (fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &fl) != 0) return ::close(fd), -1;
  }
  return fd;
}

// Only set-group-ID without group execute is mandatory locking; a given status is believed
// unless it is a link's. The kernel reports a read lock first when asked for any conflict.
TEST_F(EnvironmentTest, MandatoryLocksOfAnotherHolder) {
  const std::string exec = dir_.File("exec"), plain = dir_.File("plain"), link = dir_.File("link");
  EXPECT_EQ(trhsmIsMandLocked(nullptr, nullptr) + trhsmIsMandLocked(missing_.c_str(), nullptr), -2);
  EXPECT_TRUE(log_.Contains("trhsmIsMandLocked: Failed to stat " + missing_ +
                            ": No such file or directory"));
  const int fds = trhsm_open_fd_count();  // after the first line, which opens the log itself
  struct stat st, linkSt, plainSt, lying = {};
  lying.st_mode = S_IFREG | 02644;
  EXPECT_EQ(trhsmIsMandLocked(missing_.c_str(), &lying), -1);
  EXPECT_TRUE(
      log_.Contains("Failed to open " + missing_ + " for writing: No such file or directory"));
  if (!MakeFile(path_, 02644) || !MakeFile(exec, 02754) || !MakeFile(plain, 0644))
    GTEST_SKIP() << "the file system refused the set-group-ID bit";
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  ASSERT_EQ(
      ::stat(path_.c_str(), &st) + ::lstat(link.c_str(), &linkSt) + ::stat(plain.c_str(), &plainSt),
      0);
  const int others[] = {HoldLocks(exec, {{F_WRLCK, 0}}), HoldLocks(plain, {{F_WRLCK, 0}})};
  // The n-th F_GETLK fails with `error` (0: the holder lets go first; n 99: no fault).
  const Regions whole = {{F_WRLCK, 0}}, behind = {{F_RDLCK, 0}, {F_WRLCK, 2000}};
  // clang-format off
  const struct { Regions regions; long n; int error; int result; long probes; } cases[] = {
      {{}, 99, ENOLCK, 0, 0}, {{{F_WRLCK, 1000}}, 99, ENOLCK, 1, 1}, {whole, 99, ENOLCK, 1, 1}, {{{F_RDLCK, 0}}, 99, ENOLCK, 0, 0},
      {behind, 99, ENOLCK, 1, 2}, {whole, 1, ENOLCK, -1, 1}, {behind, 2, ENOLCK, -1, 2}, {whole, 1, EINTR, 1, 2},
      {behind, 2, EINTR, 1, 3}, {whole, 1, 0, 0, 1}, {behind, 2, 0, 0, 2}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " " + std::to_string(c.probes) + " " +
                 std::strerror(c.error));
    int holder = HoldLocks(path_, c.regions), result;
    ASSERT_GE(holder, 0) << std::strerror(errno);
    log_.Clear();
    long probes;
    {
      auto release = [&] { ::close(std::exchange(holder, -1)); };
      ScopedCallHook hook = c.error != 0
                                ? ScopedCallHook(Call::kFcntl, c.n, c.error, F_GETLK)
                                : ScopedCallHook(Call::kFcntl, c.n, true, release, F_GETLK);
      result = trhsmIsMandLocked(path_.c_str(), nullptr);
      probes = hook.calls();
    }
    EXPECT_EQ(std::make_pair(result, probes), std::make_pair(c.result, c.probes));
    EXPECT_TRUE(c.result == -1 ? log_.Contains("trhsmIsMandLocked: fcntl(" + path_ +
                                               ", F_GETLK) failed: " + std::strerror(c.error))
                               : log_.Text().empty())
        << log_.Text();
    const std::vector<int> all = {
        trhsmIsMandLocked(path_.c_str(), &st),     trhsmIsMandLocked(link.c_str(), &linkSt),
        trhsmIsMandLocked(link.c_str(), nullptr),  trhsmIsMandLocked(exec.c_str(), nullptr),
        trhsmIsMandLocked(plain.c_str(), nullptr), trhsmIsMandLocked(missing_.c_str(), &plainSt)};
    EXPECT_TRUE(c.n != 99 || (all == std::vector<int>{result, result, result, 0, 0, 0}));
    if (holder >= 0) ::close(holder);
  }
  for (int fd : others) ::close(fd);
  EXPECT_EQ(trhsm_open_fd_count(), fds);
}

}  // namespace
