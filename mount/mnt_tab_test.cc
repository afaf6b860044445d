// TRHSMMntTab: the snapshot, its failures, and both lookups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"

namespace {

using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class MntTabTest : public ::testing::Test {
 protected:
  MntTabTest() : table_(dir_.File("mounts")), env_("KO_MOUNT_TABLE", table_) {}

  // The KoException that `call` throws, or a null-coded stand-in when it throws none.
  template <typename Call>
  static KoException Thrown(Call call) {
    try {
      call();
    } catch (const KoException& e) {
      return e;
    }
    return KoException("", "<nothing thrown>", "", 0, 0);
  }

  std::string DeviceFor(const TRHSMMntTab& tab, const char* path) {
    try {
      return tab.find(path)->device;
    } catch (const KoException& e) {
      return "throws: " + e.getMessage();
    }
  }

  ScratchDir dir_;
  std::string table_;
  ScopedEnv env_;
};

TEST_F(MntTabTest, SnapshotKeepsTableOrderAndEveryField) {
  WriteFile(table_,
            "/dev/vda / ext4 rw,relatime 0 0\n"
            "srv:/x /mnt/n\\040x nfs ro,soft 0 0\n"
            "tmpfs /tmp tmpfs rw 0 0\n");
  TRHSMMntTab tab;
  // Later changes of the table do not reach a snapshot.
  WriteFile(table_, "other /other ext4 rw 0 0\n");
  std::list<TRHSMMntTab::Entry> all = tab.getAll();
  ASSERT_EQ(all.size(), 3u);
  auto it = all.begin();
  EXPECT_EQ(it->device, "/dev/vda");
  EXPECT_FALSE(it->auxFlag);
  ++it;
  EXPECT_EQ(it->device, "srv:/x");
  EXPECT_EQ(it->mountPoint, "/mnt/n x");
  EXPECT_TRUE(it->auxFlag);
  EXPECT_EQ(it->auxText, "ro,soft");
  EXPECT_EQ(it->fsType, "nfs");
  ++it;
  EXPECT_EQ(it->mountPoint, "/tmp");
}

TEST_F(MntTabTest, UnreadableOrEmptyTableThrowsThePlatformText) {
  for (const std::string& content : {std::string(""), std::string("bad line\n")}) {
    WriteFile(table_, content);
    KoException e = Thrown([] { TRHSMMntTab tab; });
    EXPECT_EQ(e.getFunction(), "TRHSMMntTab");
    EXPECT_EQ(e.getFile(), "TRHSMMntTab");
    EXPECT_EQ(e.getCode(), -1);
    std::list<KoMntTab::Entry> entries;
    EXPECT_EQ(e.getMessage(), KoMntTab::getAll(entries).AsString());
  }
  ScopedEnv missing("KO_MOUNT_TABLE", dir_.File("none"));
  EXPECT_EQ(Thrown([] { TRHSMMntTab tab; }).getMessage(),
            "Cannot open mount table " + dir_.File("none") + ": No such file or directory");
}

TEST_F(MntTabTest, FindPathTakesTheLongestContainingMountPoint) {
  WriteFile(table_,
            "rootfs / ext4 rw 0 0\n"
            "home1 /home ext4 rw 0 0\n"
            "over /home xfs rw 0 0\n"
            "slash /mnt/x/ ext4 rw 0 0\n"
            "deep /home/a/b ext4 rw 0 0\n");
  TRHSMMntTab tab;
  EXPECT_EQ(DeviceFor(tab, "/home/a/b"), "deep");
  EXPECT_EQ(DeviceFor(tab, "/home/a/bc"), "home1");
  EXPECT_EQ(DeviceFor(tab, "/home/a/x"), "home1") << "first of two equal mount points";
  EXPECT_EQ(DeviceFor(tab, "/home"), "home1");
  EXPECT_EQ(DeviceFor(tab, "/homework/x"), "rootfs");
  EXPECT_EQ(DeviceFor(tab, "/mnt/x/y"), "slash");
  EXPECT_EQ(DeviceFor(tab, "/mnt/x"), "rootfs") << "the trailing slash is part of the mount point";
  EXPECT_EQ(DeviceFor(tab, "/"), "rootfs");
  EXPECT_EQ(DeviceFor(tab, "//home/a/b"), "rootfs") << "paths are compared as written";
  EXPECT_EQ(DeviceFor(tab, "/home/../home/a/b"), "home1");

  EXPECT_EQ(DeviceFor(tab, "a/b"), "throws: Failed to find mount point containing file a/b");
  EXPECT_EQ(DeviceFor(tab, ""), "throws: Internal error: fname==NULL");
  KoException e = Thrown([&] { tab.find(nullptr); });
  EXPECT_EQ(e.getMessage(), "Internal error: fname==NULL");
  EXPECT_EQ(e.getFunction(), "TRHSMMntTab::find");
  EXPECT_EQ(e.getFile(), "TRHSMMntTab");
  EXPECT_EQ(e.getCode(), -1);
  EXPECT_EQ(Thrown([&] { tab.find("rel"); }).getFunction(), "TRHSMMntTab::find");
}

TEST_F(MntTabTest, FindByMountPointAndType) {
  WriteFile(table_,
            "a /home ext4 rw 0 0\n"
            "b /home nfs rw 0 0\n"
            "c /home nfs rw 0 0\n");
  TRHSMMntTab tab;
  ASSERT_NE(tab.find("/home", "nfs"), nullptr);
  EXPECT_EQ(tab.find("/home", "nfs")->device, "b");
  EXPECT_EQ(tab.find("/home", "ext4")->device, "a");
  EXPECT_EQ(tab.find("/home", "xfs"), nullptr);
  EXPECT_EQ(tab.find("/home/", "nfs"), nullptr);
  EXPECT_EQ(tab.find("/hom", "nfs"), nullptr);
  EXPECT_EQ(tab.find(nullptr, "nfs"), nullptr);
  EXPECT_EQ(tab.find("/home", nullptr), nullptr);

  // Pointers stay valid through a move of the snapshot.
  const TRHSMMntTab::Entry* before = tab.find("/home", "nfs");
  TRHSMMntTab moved(std::move(tab));
  EXPECT_EQ(moved.find("/home", "nfs"), before);
}

TEST(MntTabEntry, FromRecordStopsAtTheFieldEnd) {
  KoMntEntry record;
  std::memset(&record, 0, sizeof record);
  // A record without NULs must not be read past its fields.
  std::memset(record.device, 'd', sizeof record.device);
  std::memset(record.mountPoint, 'm', sizeof record.mountPoint);
  std::memset(record.auxText, 'o', sizeof record.auxText);
  std::strcpy(record.fsType, "ext4");
  record.auxFlag = -5;
  TRHSMMntTab::Entry e(record);
  EXPECT_EQ(e.device, std::string(1024, 'd'));
  EXPECT_EQ(e.mountPoint, std::string(1024, 'm'));
  EXPECT_EQ(e.auxText, std::string(256, 'o'));
  EXPECT_EQ(e.fsType, "ext4");
  EXPECT_TRUE(e.auxFlag);
  record.auxFlag = 0;
  EXPECT_FALSE(TRHSMMntTab::Entry(record).auxFlag);
}

}  // namespace
