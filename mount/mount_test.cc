// The mount table's snapshot and lookups, applyFileAttr, getStubCacheInfo: one table each. Any
// table's parsing is the fuzz target's (mount_table).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <list>
#include <string>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// What `call` gives, or "throws: " and the message of its KoException (function and code checked).
template <typename Call>
std::string OrThrown(Call call, const std::string& function) {
  try {
    return call();
  } catch (const KoException& e) {
    EXPECT_EQ(e.getFunction(), function);
    EXPECT_EQ(e.getCode(), -1);
    return "throws: " + e.getMessage();
  }
}

TEST(MntTab, SnapshotAndLookups) {
  trhsm_test::Sandbox box("",
                          "rootfs / ext4 rw 0 0\nsrv:/x /mnt/n\\040x nfs ro,soft 0 0\n"
                          "home1 /home ext4 rw 0 0\nover /home xfs rw 0 0\nslash /mnt/x/ ext4 "
                          "rw 0 0\ndeep /home/a/b ext4 rw 0 0\n");
  TRHSMMntTab tab;
  WriteFile(box.File("mounts"), "other /other ext4 rw 0 0\n");  // a snapshot keeps what it read
  const std::list<TRHSMMntTab::Entry> all = tab.getAll();
  ASSERT_EQ(all.size(), 6u);
  const TRHSMMntTab::Entry& nfs = *std::next(all.begin());
  EXPECT_EQ(nfs.device + "|" + nfs.mountPoint + "|" + nfs.auxText + "|" + nfs.fsType,
            "srv:/x|/mnt/n x|ro,soft|nfs");
  EXPECT_TRUE(nfs.auxFlag);
  EXPECT_FALSE(all.front().auxFlag);
  const std::pair<const char*, std::string> rows[] = {
      {"/home/a/b", "deep"},
      {"/home/a/bc", "home1"},
      {"/home/a/x", "home1"},  // first of two
      {"/home", "home1"},
      {"/homework/x", "rootfs"},
      {"/mnt/x/y", "slash"},
      {"/mnt/x", "rootfs"},
      {"/", "rootfs"},
      {"//home/a/b", "rootfs"},
      {"/home/../home/a/b", "home1"},
      {"a/b", "throws: Failed to find mount point containing file a/b"},
      {"", "throws: Internal error: fname==NULL"},
      {nullptr, "throws: Internal error: fname==NULL"}};
  for (const auto& [path, device] : rows) {
    EXPECT_EQ(OrThrown([&, p = path] { return tab.find(p)->device; }, "TRHSMMntTab::find"), device)
        << (path ? path : "null");
  }
  EXPECT_EQ(tab.find("/home", "xfs")->device, "over");
  EXPECT_EQ(tab.find("/home", "ext4")->device, "home1");
  for (const auto& [mp, type] : {std::pair<const char*, const char*>{"/home", "nfs"},
                                 {"/home/", "ext4"},
                                 {"/hom", "ext4"},
                                 {nullptr, "ext4"},
                                 {"/home", nullptr}}) {
    EXPECT_EQ(tab.find(mp, type), nullptr);
  }
  WriteFile(box.File("mounts"), "bad line\n");
  std::list<KoMntTab::Entry> entries;
  const std::string bad = "throws: " + KoMntTab::getAll(entries).AsString();
  EXPECT_EQ(OrThrown([] { return TRHSMMntTab().getAll().front().device; }, "TRHSMMntTab"), bad);
  trhsm_test::ScopedEnv missing("KO_MOUNT_TABLE", box.File("none"));
  EXPECT_EQ(OrThrown([] { return TRHSMMntTab().getAll().front().device; }, "TRHSMMntTab"),
            "throws: Cannot open mount table " + box.File("none") + ": No such file or directory");
}

struct stat Recorded(mode_t mode, uid_t uid) {
  struct stat st {};
  st.st_mode = S_IFREG | mode;
  st.st_uid = uid;
  st.st_gid = getegid();
  st.st_atime = 1000000;
  st.st_mtime = 2000000;
  return st;
}

TEST(ApplyFileAttr, AppliesWhatItCanAndLogsEachFailure) {
  ScratchDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // the child below writes here without root
  const std::string file = dir.File("f"), missing = dir.File("missing");
  WriteFile(file, "x");
  LogCapture log;
  ASSERT_TRUE(applyFileAttr(Recorded(0640, geteuid()), file.c_str()));
  struct stat now;
  ASSERT_EQ(stat(file.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0640u);
  EXPECT_EQ(now.st_mtime, 2000000);
  EXPECT_EQ(now.st_atime, 1000000);
  EXPECT_EQ(log.Text(), "");
  EXPECT_FALSE(applyFileAttr(Recorded(0600, geteuid()), missing.c_str()));
  EXPECT_FALSE(applyFileAttr(Recorded(0600, 0), nullptr));
  for (const std::string& line :
       {"Failed to chmod " + missing + ": No such file or directory",
        "Failed to chown " + missing + ": No such file or directory",
        "Failed to change mtime/atime of " + missing + ": No such file or directory",
        std::string("applyFileAttr: Invalid NULL path passed as input.")}) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
  // Owner 0 is refused to anyone but root: a child without root rights still sets the rest.
  const std::string other = dir.File("other");
  const int code = trhsm_test::InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 10;
    setenv("KO_LOG_FILE", "", 1);  // the parent's log folder is not this user's
    WriteFile(other, "x");
    return applyFileAttr(Recorded(0604, 0), other.c_str()) ? 11 : 0;
  });
  ASSERT_EQ(code, 0) << "10: cannot drop root rights, 11: reported success";
  ASSERT_EQ(stat(other.c_str(), &now), 0);
  EXPECT_EQ(now.st_mode & 07777, 0604u);
  EXPECT_EQ(now.st_mtime, 2000000);
}

TEST(StubCacheInfo, FlagAndRootAsStored) {
  trhsm_test::Sandbox box;
  LogCapture log;
  const struct {
    std::string values;
    bool enabled;
    std::string root;
  } rows[] = {
      {"nUSE_STUB_CACHE=Yes\ndSTUB_CACHE_ROOT=/x/", true, "/x"},
      {"nUSE_STUB_CACHE=y\ndSTUB_CACHE_ROOT=/r", true, "/r"},
      {"nUSE_STUB_CACHE=10\ndSTUB_CACHE_ROOT=/r", true, "/r"},
      {"nUSE_STUB_CACHE=true\ndSTUB_CACHE_ROOT=/r", false, "/r"},
      {"nUSE_STUB_CACHE= y\ndSTUB_CACHE_ROOT=/r", false, "/r"},
      {"nUSE_STUB_CACHE=\ndSTUB_CACHE_ROOT=/r", false, "/r"},
      {"dSTUB_CACHE_ROOT=/r", false, "/r"},
      {"nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/var/c///\ndJOB_RESULTS_DIR=/jr", true, "/var/c"},
      {"nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/\ndJOB_RESULTS_DIR=/jr", true, "/jr/StubCache"},
      {"dJOB_RESULTS_DIR=/jr", false, "/jr/StubCache"},
      {"nUSE_STUB_CACHE=1", false, ""},  // no root at all disables the cache
      {"nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=//", false, ""},
      {"nUSE_STUB_CACHE=Y\ndJOB_RESULTS_DIR=", true, "/StubCache"},
  };
  for (const auto& r : rows) {
    box.SetRegistry("[Machines/c]\n" + r.values + "\n[Machines/z]\nnUSE_STUB_CACHE=Y\n");
    bool enabled = !r.enabled;
    std::string root = "untouched";
    getStubCacheInfo("c", &enabled, &root);
    EXPECT_EQ(enabled, r.enabled) << r.values;
    EXPECT_EQ(root, r.root) << r.values;
    getStubCacheInfo("c", nullptr, nullptr);
  }
  for (const char* line : {"getStubCacheInfo", "c: nUSE_STUB_CACHE=Yes", "c: dSTUB_CACHE_ROOT=/x/",
                           "c: Stub cache root: /x", "c: Stub cache disabled."}) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
  EXPECT_EQ(log.Text().find("nUSE_STUB_CACHE=\n"), std::string::npos);
  for (const char* client : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(OrThrown([&] { return getStubCacheInfo(client, nullptr, nullptr), std::string(); },
                       "getStubCacheInfo"),
              "throws: NULL or empty client name passed as input.");
  }
}

}  // namespace
