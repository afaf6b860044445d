// The mount table's lookups, applyFileAttr, getStubCacheInfo and getCacheFname with its caches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <list>
#include <thread>

#include "mount/mnt_tab_reads.h"
#include "mount/stub_cache_state.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm::mount::MountTableReads;
using trhsm_test::WriteFile;

// What `call` gives, or "throws: " and its KoException's message (code -1, from `function`...).
template <typename Call>
std::string OrThrown(Call call, const std::string& function = "TRHSMMntTab") {
  try {
    return call();
  } catch (const KoException& e) {
    EXPECT_EQ(e.getFunction().substr(0, function.size()) + std::to_string(e.getCode()),
              function + "-1");
    return "throws: " + e.getMessage();
  }
}

class MountTest : public ::testing::Test {
 protected:
  MountTest() { trhsm::stub_cache::ClearForTest(); }
  void Table(const std::string& text) { WriteFile(box_.File("mounts"), text); }
  trhsm_test::Sandbox box_;
  const std::string s_ = box_.path();
  struct stat sst_ = {};
  const unsigned long sdev_ = (stat(s_.c_str(), &sst_), sst_.st_dev);  // the scratch folder's
  trhsm_test::LogCapture log_;
};

TEST_F(MountTest, TableLookupsFileAttributesAndStubCacheInfo) {
  Table(
      "rootfs / ext4 rw 0 0\nsrv:/x /mnt/n\\040x nfs ro,soft 0 0\nhome1 /home ext4 rw 0 0\nover "
      "/home xfs rw 0 0\nslash /mnt/x/ ext4 rw 0 0\ndeep /home/a/b ext4 rw 0 0\n");
  TRHSMMntTab tab;
  Table("other /other ext4 rw 0 0\n");  // a snapshot keeps what it read
  ASSERT_EQ(tab.getAll().size(), 6u);
  // "path device": the first of two entries for /home.
  for (const char* row :
       {"/home/a/b deep", "/home/a/bc home1", "/home/a/x home1", "/home home1",
        "/homework/x rootfs", "/mnt/x/y slash", "/mnt/x rootfs", "/ rootfs", "//home/a/b rootfs",
        "/home/../home/a/b home1", "a/b throws: Failed to find mount point containing file a/b",
        " throws: Internal error: fname==NULL"}) {
    const std::string path(row, std::strchr(row, ' ')), want = std::strchr(row, ' ') + 1;
    EXPECT_EQ(OrThrown([&] { return tab.find(path.c_str())->device; }), want) << row;
  }
  EXPECT_EQ(OrThrown([&] { return tab.find(nullptr)->device; }),
            "throws: Internal error: fname==NULL");
  EXPECT_EQ(tab.find("/home", "xfs")->device + tab.find("/home", "ext4")->device, "overhome1");
  EXPECT_TRUE(!tab.find("/home", "nfs") && !tab.find("/home/", "ext4") &&
              !tab.find("/hom", "ext4") && !tab.find(nullptr, "ext4") &&
              !tab.find("/home", nullptr));
  Table("bad line\n");
  std::list<KoMntTab::Entry> entries;
  EXPECT_EQ(OrThrown([] { return TRHSMMntTab().getAll().front().device; }),
            "throws: " + KoMntTab::getAll(entries).AsString());
  const std::string file = box_.File("f"), missing = box_.File("missing");
  WriteFile(file, "x");
  struct stat st {
  }, now{};
  st.st_mode = S_IFREG | 0640, st.st_uid = geteuid(), st.st_gid = getegid();
  st.st_atime = 1000000, st.st_mtime = 2000000;
  ASSERT_TRUE(applyFileAttr(st, file.c_str()));
  stat(file.c_str(), &now);
  EXPECT_EQ(std::to_string(now.st_mode & 07777) + " " + std::to_string(now.st_mtime) + " " +
                std::to_string(now.st_atime) + log_.Text(),
            "416 2000000 1000000");
  st.st_uid = 0;
  EXPECT_FALSE(applyFileAttr(st, missing.c_str()) || applyFileAttr(st, nullptr));
  for (const char* line : {"chmod ", "chown ", "change mtime/atime of "})
    EXPECT_TRUE(log_.Contains("Failed to " + (line + missing) + ": No such file")) << line;
  EXPECT_TRUE(log_.Contains("applyFileAttr: Invalid NULL path passed as input."));
  // "values => enabled root"; no root at all disables the cache.
  for (const std::string row :
       {"nUSE_STUB_CACHE=Yes\ndSTUB_CACHE_ROOT=/x/ => 1 /x",
        "nUSE_STUB_CACHE=y\ndSTUB_CACHE_ROOT=/r => 1 /r",
        "nUSE_STUB_CACHE=1\ndSTUB_CACHE_ROOT=/r => 1 /r",
        "nUSE_STUB_CACHE=true\ndSTUB_CACHE_ROOT=/r => 0 /r",
        "nUSE_STUB_CACHE=\ndSTUB_CACHE_ROOT=/r => 0 /r", "dSTUB_CACHE_ROOT=/r => 0 /r",
        "nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/var/c///\ndJOB_RESULTS_DIR=/jr => 1 /var/c",
        "nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/\ndJOB_RESULTS_DIR=/jr => 1 /jr/StubCache",
        "dJOB_RESULTS_DIR=/jr => 0 /jr/StubCache", "nUSE_STUB_CACHE=1 => 0 ",
        "nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=// => 0 ",
        "nUSE_STUB_CACHE=Y\ndJOB_RESULTS_DIR= => 1 /StubCache"}) {
    const size_t arrow = row.find(" => ");
    box_.SetRegistry("[Machines/c]\n" + row.substr(0, arrow) +
                     "\n[Machines/z]\nnUSE_STUB_CACHE=Y\n");
    bool enabled = row[arrow + 4] == '0';
    std::string root = "untouched";
    getStubCacheInfo("c", &enabled, &root);
    EXPECT_EQ(row.substr(0, arrow + 4) + (enabled ? "1 " : "0 ") + root, row);
    getStubCacheInfo("c", nullptr, nullptr);
  }
  for (const char* line : {"getStubCacheInfo", "c: nUSE_STUB_CACHE=Yes", "c: dSTUB_CACHE_ROOT=/x/",
                           "c: Stub cache root: /x", "c: Stub cache disabled."})
    EXPECT_TRUE(log_.Contains(line) && !log_.Contains("nUSE_STUB_CACHE=\n")) << line;
  for (const char* client : {static_cast<const char*>(nullptr), ""})
    EXPECT_EQ(OrThrown([&] { return getStubCacheInfo(client, nullptr, nullptr), std::string(); },
                       "getStubCacheInfo"),
              "throws: NULL or empty client name passed as input.");
}

std::string Expected(const std::string& device, unsigned long inode) {
  char d[32];
  std::snprintf(d, sizeof d, "%020lld", static_cast<long long>(inode));
  std::string name = "/r" + device;
  for (int i = 0; i < 20; i += 3) name += "/" + std::string(d + i, i < 18 ? 3 : 2);
  return name;
}

// The cache file name by path, or by device number when path is kByDevice.
const char kByDevice[] = "";
std::string Name(const char* path, unsigned long dev, unsigned long inode) {
  struct stat st {};
  st.st_dev = dev, st.st_ino = inode;
  return OrThrown(
      [&] { return path == kByDevice ? getCacheFname(st, "/r") : getCacheFname(path, st, "/r"); });
}

TEST_F(MountTest, CacheNamesAndLookups) {
  Table("/dev/sdb1 " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 1234567), "/r/dev/sdb1/000/000/000/000/012/345/67");
  EXPECT_EQ(Name(s_.c_str(), sdev_, ULONG_MAX) + Name(kByDevice, sdev_, LONG_MAX + 1UL),
            "/r/dev/sdb1/-00/000/000/000/000/000/01" + Expected("/dev/sdb1", LONG_MAX + 1UL));
  struct stat st {};
  EXPECT_EQ(getCacheFname(st, nullptr) + getCacheFname(s_.c_str(), st, nullptr), "");
  EXPECT_TRUE(log_.Contains("getCacheFname: Invalid NULL stub cache root passed as input."));
  trhsm::stub_cache::ClearForTest();  // by device: not a network type, nor a mount point gone
  Table("n " + s_ + " nfs rw 0 0\na " + s_ + " autofs rw 0 0\nc " + s_ + " cifs rw 0 0\nd " + s_ +
        " cdrfs rw 0 0\ngone " + s_ + "/missing ext4 rw 0 0\nreal " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 7), Expected("real", 7));
  trhsm::stub_cache::ClearForTest();  // misses: an NFS file by device (placed by path only), a path
  Table("srv:/export " + s_ + " nfs rw 0 0\nproc /proc proc rw 0 0\ngone " + s_ +
        "/gone ext4 rw 0 0\n");
  const uint64_t reads = MountTableReads();
  // off its mount point's device or under a mount point that cannot be stat'ed, refused paths.
  EXPECT_EQ(Name(kByDevice, sdev_, 5) + Name((s_ + "/f").c_str(), sdev_ + 1, 5) +
                Name((s_ + "/gone/f").c_str(), sdev_, 5) + "|" + Name("a/b", sdev_, 5) + "|" +
                Name("", sdev_, 5) + "|" + Name(nullptr, sdev_, 5),
            "|throws: Failed to find mount point containing file a/b|throws: Internal error: "
            "fname==NULL|throws: Internal error: fname==NULL");
  EXPECT_TRUE(log_.Contains("Failed to derive mount point for device " + std::to_string(sdev_)));
  EXPECT_EQ(Name(kByDevice, sdev_, 5), "");
  EXPECT_EQ(MountTableReads() - reads, 5u);
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_, 5), Expected("srv:/export", 5));
  // As if unmounted: neither cache reads the table again; a miss (a name beside the cached mount
  // point's, not under it) reads it and throws.
  Table("real " + s_ + " ext4 rw 0 0\n");
  EXPECT_EQ(Name(kByDevice, sdev_, 4), Expected("real", 4));
  Table("");
  const uint64_t before = MountTableReads();
  EXPECT_EQ(Name(kByDevice, sdev_, 4) + Name((s_ + "/f").c_str(), sdev_, 4),
            Expected("real", 4) + Expected("srv:/export", 4));
  EXPECT_EQ(MountTableReads(), before);
  const std::string empty = "throws: Mount table " + box_.File("mounts") + " holds no entries";
  EXPECT_EQ(Name(kByDevice, sdev_ + 1, 4) + Name((s_ + "x/f").c_str(), sdev_, 4), empty + empty);
  EXPECT_EQ(Name((s_ + "/f").c_str(), sdev_, 6), Expected("srv:/export", 6));  // sections left
}

// Eight threads at once by device and by path (the padding makes a read last): one read per cache.
TEST_F(MountTest, ConcurrentCallersReadTheTableOncePerKey) {
  std::string table;
  for (int i = 0; i < 300; ++i) table += "pad /nowhere/" + std::to_string(i) + " nfs rw 0 0\n";
  Table(table + "x " + s_ + " ext4 rw 0 0\n");
  const uint64_t before = MountTableReads();
  std::atomic<int> wrong{0};
  std::vector<std::thread> pool;
  for (unsigned long t = 0; t < 8; ++t)
    pool.emplace_back([&, t] {
      const std::string path = s_ + "/f" + std::to_string(t);
      for (unsigned long i = t * 1000; i < t * 1000 + 100; ++i)
        wrong += Name(t % 2 == 0 ? kByDevice : path.c_str(), sdev_, i) != Expected("x", i);
    });
  for (std::thread& th : pool) th.join();
  EXPECT_EQ(MountTableReads() - before + wrong, 2u);
}

}  // namespace
