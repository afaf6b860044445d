// getCacheFname: the name layout, both device caches, their failures, and concurrent callers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mount/cache_name.h"
#include "mount/mnt_tab_reads.h"
#include "mount/stub_cache_state.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm::mount::MountTableReads;
using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// A use from a static initialiser, which may run before this library's own objects are built.
struct EarlyUse {
  EarlyUse() {
    tableOverridden = std::getenv("KO_MOUNT_TABLE") != nullptr;
    if (stat("/", &root) != 0) return;
    try {
      name = getCacheFname(root, "/early");
    } catch (const KoException& e) {
      name = "threw: " + e.getMessage();
    }
  }
  struct stat root {};
  bool tableOverridden = false;
  std::string name;
};
EarlyUse g_earlyUse;

// The expected name, built independently with the C library's formatting.
std::string Expected(const std::string& root, const std::string& device, unsigned long inode) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%020lld", static_cast<long long>(inode));
  std::string d(digits);
  std::string name = root + device;
  for (size_t i = 0; i < 18; i += 3) name += "/" + d.substr(i, 3);
  return name + "/" + d.substr(18);
}

struct stat FileOn(unsigned long dev, unsigned long inode) {
  struct stat st {};
  st.st_dev = dev;
  st.st_ino = inode;
  return st;
}

unsigned long DevOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_dev;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::vector<std::string> CachedMountPoints() {
  trhsm::stub_cache::State& s = trhsm::stub_cache::GetState();
  KoCriticalSectionLock lock(&s.vStubCacheMountCSec);
  std::vector<std::string> out;
  for (const StubCacheMount& m : s.vStubCacheMount) out.push_back(m.mountPoint);
  return out;
}

class CacheFnameTest : public ::testing::Test {
 protected:
  CacheFnameTest()
      : table_(dir_.File("mounts")), env_("KO_MOUNT_TABLE", table_), sdev_(DevOf(dir_.path())) {
    trhsm::stub_cache::ClearForTest();
  }

  std::string Sub(const std::string& name) {
    std::string path = dir_.File(name);
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    return path;
  }

  // The name through the second overload (ByPath) or the first (ByDevice), or the message of the
  // exception it threw.
  template <typename F>
  static std::string NameOrThrow(F name) {
    try {
      return name();
    } catch (const KoException& e) {
      return "throws: " + e.getMessage();
    }
  }
  static std::string ByPath(const char* path, unsigned long dev, unsigned long inode) {
    struct stat st = FileOn(dev, inode);
    return NameOrThrow([&] { return getCacheFname(path, st, "/r"); });
  }
  static std::string ByDevice(unsigned long dev, unsigned long inode) {
    struct stat st = FileOn(dev, inode);
    return NameOrThrow([&] { return getCacheFname(st, "/r"); });
  }

  ScratchDir dir_;
  std::string table_;
  ScopedEnv env_;
  const unsigned long sdev_;  // device of the scratch folder
};

TEST(CacheName, InodeTextMatchesPrintfAtEveryBoundary) {
  for (long long v : {0LL, 1LL, 9LL, 10LL, 999LL, 1000LL, 1234567LL, 999999999999999999LL,
                      1000000000000000000LL, LLONG_MAX, -1LL, -10LL, LLONG_MIN + 1, LLONG_MIN}) {
    char mine[trhsm::stub_cache::kInodeDigits];
    trhsm::stub_cache::FormatInode(v, mine);
    char theirs[32];
    ASSERT_EQ(std::snprintf(theirs, sizeof theirs, "%020lld", v), 20);
    EXPECT_EQ(std::string(mine, sizeof mine), std::string(theirs)) << v;
  }
}

TEST_F(CacheFnameTest, NameJoinsRootDeviceAndInodePath) {
  WriteFile(table_, "/dev/sdb1 " + dir_.path() + " ext4 rw 0 0\n");
  struct stat st = FileOn(sdev_, 1234567);
  EXPECT_EQ(getCacheFname(st, "/cache"), "/cache/dev/sdb1/000/000/000/000/012/345/67");
  st.st_ino = 0;
  EXPECT_EQ(getCacheFname(st, "/cache"), "/cache/dev/sdb1/000/000/000/000/000/000/00");
  st.st_ino = ULONG_MAX;  // the top bit set prints as a negative number
  EXPECT_EQ(getCacheFname(dir_.path().c_str(), st, "/cache"),
            "/cache/dev/sdb1/-00/000/000/000/000/000/01");

  // A device name without a leading "/" is joined straight to the root.
  trhsm::stub_cache::ClearForTest();
  WriteFile(table_, "tmpfs " + dir_.path() + " tmpfs rw 0 0\n");
  st.st_ino = 42;
  EXPECT_EQ(getCacheFname(st, "/cache"), "/cachetmpfs/000/000/000/000/000/000/42");

  LogCapture log;
  EXPECT_EQ(getCacheFname(st, nullptr), "");
  EXPECT_EQ(getCacheFname(dir_.path().c_str(), st, nullptr), "");
  EXPECT_TRUE(log.Contains("Invalid NULL stub cache root"));
}

TEST_F(CacheFnameTest, DeviceLookupSkipsNetworkTypesAndUnreachableMountPoints) {
  const std::string s = dir_.path();
  WriteFile(table_, "n " + s + " nfs rw 0 0\na " + s + " autofs rw 0 0\nc " + s +
                        " cifs rw 0 0\nd " + s + " cdrfs rw 0 0\ngone " + s +
                        "/missing ext4 rw 0 0\nreal " + s + " ext4 rw 0 0\nlate " + s +
                        " ext4 rw 0 0\n");
  EXPECT_EQ(ByDevice(sdev_, 7), Expected("/r", "real", 7));
}

TEST_F(CacheFnameTest, NfsFileIsPlacedOnlyByPath) {
  const std::string nfs = Sub("nfs");
  ASSERT_NE(DevOf("/proc"), sdev_);
  WriteFile(table_, "srv:/export " + nfs + " nfs rw 0 0\nproc /proc proc rw 0 0\n");
  LogCapture log;
  const uint64_t before = MountTableReads();
  EXPECT_EQ(ByDevice(sdev_, 5), "");
  EXPECT_TRUE(log.Contains("Failed to derive mount point for device " + std::to_string(sdev_)));
  EXPECT_TRUE(log.Contains("getCacheFname"));
  EXPECT_EQ(ByDevice(sdev_, 5), "");
  EXPECT_EQ(MountTableReads() - before, 2u) << "a failed lookup stores nothing";

  EXPECT_EQ(ByPath((nfs + "/f").c_str(), sdev_, 5), Expected("/r", "srv:/export", 5));
}

TEST_F(CacheFnameTest, PathLookupNeedsTheMountPointsDevice) {
  WriteFile(table_, "x " + dir_.path() + " ext4 rw 0 0\n");
  LogCapture log;
  const uint64_t before = MountTableReads();
  EXPECT_EQ(ByPath(dir_.File("f").c_str(), sdev_ + 1, 3), "");
  EXPECT_TRUE(log.Contains("Failed to derive mount point for device " + std::to_string(sdev_ + 1)));
  EXPECT_TRUE(CachedMountPoints().empty());
  EXPECT_EQ(ByPath(dir_.File("f").c_str(), sdev_ + 1, 3), "");
  EXPECT_EQ(MountTableReads() - before, 2u);
  // A mount point that is not there places nothing either.
  WriteFile(table_, "y " + dir_.File("gone") + " ext4 rw 0 0\n");
  log.Clear();
  EXPECT_EQ(ByPath(dir_.File("gone/f").c_str(), sdev_, 3), "");
  EXPECT_TRUE(log.Contains("Failed to derive mount point for device " + std::to_string(sdev_)));
  EXPECT_TRUE(CachedMountPoints().empty());
}

TEST_F(CacheFnameTest, PathLookupFailuresThrowAndLeaveTheCacheUsable) {
  WriteFile(table_, "x " + dir_.path() + " ext4 rw 0 0\n");
  EXPECT_EQ(ByPath("a/b", sdev_, 1), "throws: Failed to find mount point containing file a/b");
  EXPECT_EQ(ByPath("", sdev_, 1), "throws: Internal error: fname==NULL");
  EXPECT_EQ(ByPath(nullptr, sdev_, 1), "throws: Internal error: fname==NULL");
  EXPECT_TRUE(CachedMountPoints().empty());
  // The critical section was left: a later call neither deadlocks nor finds stale state.
  EXPECT_EQ(ByPath(dir_.File("f").c_str(), sdev_, 1), Expected("/r", "x", 1));
  EXPECT_EQ(CachedMountPoints(), std::vector<std::string>{dir_.path()});
}

// Nested mount points of distinct devices (/, /dev, /dev/shm here): the parent's device differs,
// so a cached parent never answers for an uncached child.
TEST_F(CacheFnameTest, CachedMountsKeepTheDeepestFirstWhateverTheOrder) {
  const std::string s = "/", data = "/dev", sub = "/dev/shm";
  const unsigned long ds = DevOf(s), dd = DevOf(data), dsub = DevOf(sub);
  if (ds == dd || dd == dsub || ds == dsub) GTEST_SKIP() << "needs /, /dev and /dev/shm mounted";
  WriteFile(table_,
            "rootdev / ext4 rw 0 0\ndatadev /dev devtmpfs rw 0 0\nsubdev /dev/shm tmpfs rw 0 0\n");
  struct Call {
    std::string path;
    unsigned long dev;
    std::string device;
    bool operator<(const Call& o) const { return path < o.path; }
  };
  std::vector<Call> calls = {
      {"/x", ds, "rootdev"}, {"/dev/shm/y", dsub, "subdev"}, {"/dev/z", dd, "datadev"}};
  std::sort(calls.begin(), calls.end());
  do {
    trhsm::stub_cache::ClearForTest();
    const uint64_t before = MountTableReads();
    for (const Call& c : calls)
      EXPECT_EQ(ByPath(c.path.c_str(), c.dev, 9), Expected("/r", c.device, 9));
    EXPECT_EQ(CachedMountPoints(), (std::vector<std::string>{sub, data, s}));
    // Later paths are answered from the cache, each by the mount point that holds it.
    EXPECT_EQ(ByPath("/dev/shm/q/r", dsub, 9), Expected("/r", "subdev", 9));
    EXPECT_EQ(ByPath("/dev/shm", dsub, 9), Expected("/r", "subdev", 9));
    EXPECT_EQ(ByPath("/dev/shmx", dd, 9), Expected("/r", "datadev", 9));
    EXPECT_EQ(ByPath("/devx", ds, 9), Expected("/r", "rootdev", 9));
    EXPECT_EQ(MountTableReads() - before, 3u);
  } while (std::next_permutation(calls.begin(), calls.end()));
}

TEST(ChildPathFirst, DescendingWithSignedBytes) {
  auto m = [](const std::string& mp) {
    TRHSMMntTab::Entry e;
    e.mountPoint = mp;
    return StubCacheMount(e, 1);
  };
  childPathFirst order;
  EXPECT_TRUE(order(m("/data/sub"), m("/data")));
  EXPECT_FALSE(order(m("/data"), m("/data/sub")));
  EXPECT_FALSE(order(m("/data"), m("/data")));
  EXPECT_TRUE(order(m("/b"), m("/a")));
  // 0xC3 is negative as a signed byte, so it sorts below "a".
  EXPECT_TRUE(order(m("/a"), m("/\xC3")));
  EXPECT_FALSE(order(m("/\xC3"), m("/a")));

  stubCacheMountPointCompare holds("/data/sub/x", 1);
  EXPECT_TRUE(holds(m("/data/sub")));
  EXPECT_TRUE(holds(m("/data/")));
  EXPECT_FALSE(holds(m("/data/s")));
  EXPECT_FALSE(stubCacheMountPointCompare("/data/sub/x", 2)(m("/data/sub")));
  EXPECT_TRUE(stubCacheMountPointCompare("/data", 1)(m("/data")));
  // An empty mount point holds what the root holds.
  EXPECT_TRUE(holds(m("")));
  EXPECT_FALSE(stubCacheMountPointCompare("data", 1)(m("")));
}

TEST_F(CacheFnameTest, PlacedDevicesOutliveTheMountTable) {
  WriteFile(table_, "x " + dir_.path() + " ext4 rw 0 0\n");
  const std::string file = dir_.File("f");
  const uint64_t first = MountTableReads();
  ASSERT_EQ(ByDevice(sdev_, 4), Expected("/r", "x", 4));
  ASSERT_EQ(ByPath(file.c_str(), sdev_, 4), Expected("/r", "x", 4));
  EXPECT_EQ(MountTableReads() - first, 2u) << "the overloads keep separate caches";

  // As if unmounted: the table no longer has the entry, yet neither cache reads it again.
  WriteFile(table_, "");
  const uint64_t before = MountTableReads();
  EXPECT_EQ(ByDevice(sdev_, 4), Expected("/r", "x", 4));
  EXPECT_EQ(ByPath(file.c_str(), sdev_, 4), Expected("/r", "x", 4));
  EXPECT_EQ(MountTableReads(), before);

  // A miss now reads the table, and its failure passes to the caller with both sections left.
  const std::string empty = "throws: Mount table " + table_ + " holds no entries";
  EXPECT_EQ(ByDevice(sdev_ + 1, 4), empty);
  EXPECT_EQ(ByPath("/elsewhere", sdev_, 4), empty);
  EXPECT_EQ(ByDevice(sdev_, 5), Expected("/r", "x", 5));
  EXPECT_EQ(ByPath(file.c_str(), sdev_, 5), Expected("/r", "x", 5));
}

TEST(StaticInitialiser, UseBeforeLoadCompletesWorks) {
  if (g_earlyUse.tableOverridden) GTEST_SKIP() << "KO_MOUNT_TABLE was set at start-up";
  ASSERT_NE(g_earlyUse.root.st_dev, 0u);
  const std::string tail = Expected("", "", g_earlyUse.root.st_ino);
  ASSERT_GT(g_earlyUse.name.size(), tail.size()) << g_earlyUse.name;
  EXPECT_EQ(g_earlyUse.name.compare(0, 6, "/early"), 0) << g_earlyUse.name;
  EXPECT_EQ(g_earlyUse.name.substr(g_earlyUse.name.size() - tail.size()), tail);
}

// Concurrent callers: every name right, and one table read per device or per mount point.
class ConcurrentCacheFnameTest : public CacheFnameTest {
 protected:
  struct Mount {
    std::string device;
    std::string mountPoint;
    unsigned long dev;
  };

  // Real mount points of distinct devices (so stat gives each its own device number).
  static std::vector<Mount> RealMounts() {
    std::vector<Mount> out;
    for (const char* mp : {"/", "/proc", "/sys", "/dev", "/dev/shm", "/dev/pts", "/run", "/tmp"}) {
      struct stat st {};
      if (stat(mp, &st) != 0) continue;
      bool seen = false;
      for (const Mount& m : out) seen = seen || m.dev == st.st_dev;
      if (!seen) out.push_back({"real" + std::to_string(out.size()), mp, st.st_dev});
    }
    return out;
  }

  // Padded with entries that hold none of the paths (and are skipped by type by the device
  // lookup), so a read takes long enough for callers without the section to overlap.
  void WriteTable(const std::vector<Mount>& mounts) {
    std::string table;
    for (int i = 0; i < 300; ++i) table += "pad /nowhere/" + std::to_string(i) + " nfs rw 0 0\n";
    for (const Mount& m : mounts) table += m.device + " " + m.mountPoint + " ext4 rw 0 0\n";
    WriteFile(table_, table);
  }

  // Runs `call(thread, iteration, &expected)` on `threads` threads at once and reports how many
  // results differed from what the call expected.
  static int RunThreads(int threads, int iterations,
                        const std::function<std::string(int, int, std::string*)>& call) {
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < iterations; ++i) {
          std::string expected;
          if (call(t, i, &expected) != expected) wrong.fetch_add(1);
        }
      });
    }
    go.store(true);
    for (std::thread& th : pool) th.join();
    return wrong.load();
  }

  // Path callers go over sibling folders of the scratch device plus the real mounts on other
  // devices (siblings do not hold one another, so each is its own cache entry).
  std::vector<Mount> ByPathMounts() {
    std::vector<Mount> out;
    for (const Mount& m : RealMounts()) {
      if (m.dev != sdev_) out.push_back(m);
    }
    for (const char* name : {"a", "b", "c"})
      out.push_back({std::string("sib_") + name, Sub(name), sdev_});
    return out;
  }

  // One call by device number or by path.
  static std::string Call(bool byPath, const std::vector<Mount>& mounts, int t, int i,
                          std::string* expected) {
    // Every thread asks for the mounts in the same order, so they all miss on one at once.
    const Mount& m = mounts[static_cast<size_t>(i / 2) % mounts.size()];
    const unsigned long inode =
        static_cast<unsigned long>(t) * 100000 + static_cast<unsigned long>(i);
    *expected = Expected("/r", m.device, inode);
    return byPath ? ByPath(Join(m.mountPoint, "f" + std::to_string(i)).c_str(), m.dev, inode)
                  : ByDevice(m.dev, inode);
  }
};

TEST_F(ConcurrentCacheFnameTest, ByDeviceReadsTheTableOncePerDevice) {
  const std::vector<Mount> mounts = RealMounts();
  if (mounts.size() < 2) GTEST_SKIP() << "needs two devices";
  WriteTable(mounts);
  const uint64_t before = MountTableReads();
  EXPECT_EQ(RunThreads(8, 300,
                       [&](int t, int i, std::string* e) { return Call(false, mounts, t, i, e); }),
            0);
  EXPECT_EQ(MountTableReads() - before, mounts.size());
}

TEST_F(ConcurrentCacheFnameTest, ByPathReadsTheTableOncePerMountPoint) {
  const std::vector<Mount> mounts = ByPathMounts();
  WriteTable(mounts);
  const uint64_t before = MountTableReads();
  EXPECT_EQ(
      RunThreads(8, 300, [&](int t, int i, std::string* e) { return Call(true, mounts, t, i, e); }),
      0);
  EXPECT_EQ(MountTableReads() - before, mounts.size());
  EXPECT_EQ(CachedMountPoints().size(), mounts.size());
}

TEST_F(ConcurrentCacheFnameTest, BothOverloadsAtOnce) {
  const std::vector<Mount> byDevice = RealMounts();
  const std::vector<Mount> byPath = ByPathMounts();
  std::vector<Mount> all = byDevice;
  all.insert(all.end(), byPath.begin(), byPath.end());
  WriteTable(all);
  const uint64_t before = MountTableReads();
  EXPECT_EQ(RunThreads(8, 300,
                       [&](int t, int i, std::string* e) {
                         return t % 2 == 0 ? Call(false, byDevice, t, i, e)
                                           : Call(true, byPath, t, i, e);
                       }),
            0);
  EXPECT_EQ(MountTableReads() - before, byDevice.size() + byPath.size());
}

}  // namespace
