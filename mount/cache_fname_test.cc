// getCacheFname: the name layout, both device caches (one table read per device or mount point,
// nothing stored by a miss), their failures, the cached mounts' order, and callers on many threads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "mount/cache_name.h"
#include "mount/mnt_tab_reads.h"
#include "mount/stub_cache_state.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm::mount::MountTableReads;

// The expected name, built with the C library's formatting.
std::string Expected(const std::string& device, unsigned long inode) {
  char d[32];
  std::snprintf(d, sizeof d, "%020lld", static_cast<long long>(inode));
  std::string name = "/r" + device;
  for (int i = 0; i < 20; i += 3) name += "/" + std::string(d + i, i < 18 ? 3 : 2);
  return name;
}

unsigned long DevOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_dev;
}

// The name by path (or by device number when path is kByDevice), or "throws: " and the message.
const char kByDevice[] = "";
std::string Name(const char* path, unsigned long dev, unsigned long inode) {
  struct stat st {};
  st.st_dev = dev;
  st.st_ino = inode;
  try {
    return path == kByDevice ? getCacheFname(st, "/r") : getCacheFname(path, st, "/r");
  } catch (const KoException& e) {
    return "throws: " + e.getMessage();
  }
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
  CacheFnameTest() { trhsm::stub_cache::ClearForTest(); }
  void Table(const std::string& text) { trhsm_test::WriteFile(box_.File("mounts"), text); }
  trhsm_test::Sandbox box_;
  const std::string s_ = box_.path();
  const unsigned long sdev_ = DevOf(s_);  // device of the scratch folder
  trhsm_test::LogCapture log_;
};

TEST(CacheName, InodeTextIsPrintfs) {
  for (long long v : {0LL, 9LL, 10LL, 1234567LL, 999999999999999999LL, 1000000000000000000LL,
                      LLONG_MAX, -1LL, -10LL, LLONG_MIN + 1, LLONG_MIN}) {
    char mine[trhsm::stub_cache::kInodeDigits], theirs[32];
    trhsm::stub_cache::FormatInode(v, mine);
    std::snprintf(theirs, sizeof theirs, "%020lld", v);
    EXPECT_EQ(std::string(mine, sizeof mine), theirs);
  }
}

TEST_F(CacheFnameTest, NamesAndLookups) {
  Table("/dev/sdb1 " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 1234567), "/r/dev/sdb1/000/000/000/000/012/345/67");
  EXPECT_EQ(Name(s_.c_str(), sdev_, ULONG_MAX), "/r/dev/sdb1/-00/000/000/000/000/000/01");
  struct stat st {};
  EXPECT_EQ(getCacheFname(st, nullptr) + getCacheFname(s_.c_str(), st, nullptr), "");
  EXPECT_TRUE(log_.Contains("getCacheFname: Invalid NULL stub cache root passed as input."));
  trhsm::stub_cache::ClearForTest();
  // The device lookup passes over network types and mount points it cannot stat.
  Table("n " + s_ + " nfs rw 0 0\na " + s_ + " autofs rw 0 0\nc " + s_ + " cifs rw 0 0\nd " + s_ +
        " cdrfs rw 0 0\ngone " + s_ + "/missing ext4 rw 0 0\nreal " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 7), Expected("real", 7));

  trhsm::stub_cache::ClearForTest();
  Table("srv:/export " + s_ + " nfs rw 0 0\nproc /proc proc rw 0 0\ngone " + s_ +
        "/gone ext4 rw 0 0\n");
  const uint64_t reads = MountTableReads();
  EXPECT_EQ(Name(kByDevice, sdev_, 5), "");  // an NFS file is placed by path only
  EXPECT_TRUE(log_.Contains("Failed to derive mount point for device " + std::to_string(sdev_)));
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_ + 1, 5), "");  // not the mount point's device
  EXPECT_EQ(Name((s_ + "/gone/f").c_str(), sdev_, 5), "");
  EXPECT_EQ(Name("a/b", sdev_, 5), "throws: Failed to find mount point containing file a/b");
  EXPECT_EQ(Name("", sdev_, 5), "throws: Internal error: fname==NULL");
  EXPECT_EQ(Name(nullptr, sdev_, 5), "throws: Internal error: fname==NULL");
  EXPECT_TRUE(CachedMountPoints().empty()) << "a miss stored something";
  EXPECT_EQ(Name(kByDevice, sdev_, 5), "");
  EXPECT_EQ(MountTableReads() - reads, 5u);
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_, 5), Expected("srv:/export", 5));
  EXPECT_EQ(CachedMountPoints(), std::vector<std::string>{s_});

  // As if unmounted: neither cache reads the table again; a miss reads it and throws.
  Table("real " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 4), Expected("real", 4));
  Table("");
  const uint64_t before = MountTableReads();
  EXPECT_EQ(Name(kByDevice, sdev_, 4), Expected("real", 4));
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_, 4), Expected("srv:/export", 4));
  EXPECT_EQ(MountTableReads(), before);
  const std::string empty = "throws: Mount table " + box_.File("mounts") + " holds no entries";
  EXPECT_EQ(Name(kByDevice, sdev_ + 1, 4), empty);
  EXPECT_EQ(Name("/elsewhere", sdev_, 4), empty);
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_, 6), Expected("srv:/export", 6));  // sections left
}

TEST(CachedMounts, DeepestFirstAndHeldAtComponentBoundaries) {
  auto m = [](const std::string& mp) {
    TRHSMMntTab::Entry e;
    e.mountPoint = mp;
    return StubCacheMount(e, 1);
  };
  struct Row {
    const char* a;
    const char* b;
    bool want;
  };
  // 0xC3 is negative as a signed byte, so it sorts below "a".
  const Row order[] = {{"/data/sub", "/data", true}, {"/data", "/data/sub", false},
                       {"/data", "/data", false},    {"/b", "/a", true},
                       {"/a", "/\xC3", true},        {"/\xC3", "/a", false}};
  for (const Row& r : order) EXPECT_EQ(childPathFirst()(m(r.a), m(r.b)), r.want) << r.a << r.b;
  // Path, mount point: held when equal or at a component boundary.
  const Row holds[] = {{"/data/sub/x", "/data/sub", true},
                       {"/data/sub/x", "/data/", true},
                       {"/data/sub/x", "/data/s", false},
                       {"/data", "/data", true},
                       {"/d", "/data", false},
                       {"/data/sub/x", "", true},
                       {"data", "", false}};
  for (const Row& r : holds) {
    EXPECT_EQ(stubCacheMountPointCompare(r.a, 1)(m(r.b)), r.want) << r.a << " " << r.b;
  }
  EXPECT_FALSE(stubCacheMountPointCompare("/data/x", 2)(m("/data")));
}

// Nested mount points of distinct devices: in any order of first use, each later path is answered
// from the cache by the mount point that holds it.
TEST_F(CacheFnameTest, NestedMountsInAnyOrder) {
  const unsigned long ds = DevOf("/"), dd = DevOf("/dev"), dsub = DevOf("/dev/shm");
  if (ds == dd || dd == dsub || ds == dsub) GTEST_SKIP() << "needs /, /dev and /dev/shm mounted";
  Table("rootdev / ext4 rw 0 0\ndatadev /dev devtmpfs rw 0 0\nsubdev /dev/shm tmpfs rw 0 0\n");
  std::vector<std::tuple<std::string, unsigned long, std::string>> calls = {
      {"/dev/shm/y", dsub, "subdev"}, {"/dev/z", dd, "datadev"}, {"/x", ds, "rootdev"}};
  do {
    trhsm::stub_cache::ClearForTest();
    const uint64_t before = MountTableReads();
    for (const auto& [path, dev, device] : calls) {
      EXPECT_EQ(Name(path.c_str(), dev, 9), Expected(device, 9));
    }
    EXPECT_EQ(CachedMountPoints(), (std::vector<std::string>{"/dev/shm", "/dev", "/"}));
    EXPECT_EQ(Name("/dev/shm", dsub, 9), Expected("subdev", 9));
    EXPECT_EQ(Name("/dev/shmx", dd, 9), Expected("datadev", 9));
    EXPECT_EQ(Name("/devx", ds, 9), Expected("rootdev", 9));
    EXPECT_EQ(MountTableReads() - before, 3u);
  } while (std::next_permutation(calls.begin(), calls.end()));
}

// Eight threads ask, by device and by path, for several devices in the same order, so that they
// miss on one together: every name right, and one table read per device or mount point.
TEST_F(CacheFnameTest, ConcurrentCallersReadTheTableOncePerKey) {
  struct Mount {
    std::string device, mountPoint;
    unsigned long dev;
  };
  std::vector<Mount> byDevice, byPath;
  for (const char* mp : {"/", "/proc", "/sys", "/dev", "/dev/shm", "/run", "/tmp"}) {
    const unsigned long dev = DevOf(mp);
    if (std::none_of(byDevice.begin(), byDevice.end(),
                     [&](const Mount& m) { return m.dev == dev; }))
      byDevice.push_back({"dev" + std::to_string(byDevice.size()), mp, dev});
  }
  for (const Mount& m : byDevice) {
    if (m.dev != sdev_) byPath.push_back(m);  // siblings in the scratch folder instead
  }
  for (const char* sibling : {"/a", "/b", "/c"}) {
    ASSERT_EQ(mkdir((s_ + sibling).c_str(), 0755), 0);
    byPath.push_back({sibling, s_ + sibling, sdev_});
  }
  // Entries that hold none of the paths, so that a read lasts long enough for callers to overlap.
  std::string table;
  for (int i = 0; i < 300; ++i) table += "pad /nowhere/" + std::to_string(i) + " nfs rw 0 0\n";
  for (const std::vector<Mount>* list : {&byDevice, &byPath}) {
    for (const Mount& m : *list) table += m.device + " " + m.mountPoint + " ext4 rw 0 0\n";
  }
  Table(table);
  const uint64_t before = MountTableReads();
  std::atomic<bool> go{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> pool;
  for (unsigned long t = 0; t < 8; ++t) {
    pool.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      const std::vector<Mount>& mounts = t % 2 == 0 ? byDevice : byPath;
      for (unsigned long i = 0; i < 300; ++i) {
        const Mount& m = mounts[i / 2 % mounts.size()];
        const std::string path = m.mountPoint + (m.mountPoint == "/" ? "f" : "/f");
        if (Name(t % 2 == 0 ? kByDevice : path.c_str(), m.dev, t * 1000 + i) !=
            Expected(m.device, t * 1000 + i))
          wrong.fetch_add(1);
      }
    });
  }
  go.store(true);
  for (std::thread& th : pool) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(MountTableReads() - before, byDevice.size() + byPath.size());
}

}  // namespace
