// The platform mount table: record layout, parsing of the table file, refusals and KoMntTab.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/KoMntTab.h"

namespace {

using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

struct Read {
  std::vector<KoMntEntry> records;  // copies; the chain itself is freed
  bool ok = false;
  std::string error;
};

class MountTableTest : public ::testing::Test {
 protected:
  MountTableTest() : table_(dir_.File("mounts")), env_("KO_MOUNT_TABLE", table_) {}

  Read ReadTable(const std::string& content) {
    WriteFile(table_, content);
    return ReadCurrent();
  }

  static Read ReadCurrent(int bufferSize = 1024) {
    Read r;
    std::vector<char> buffer(static_cast<size_t>(bufferSize) + 1, 'X');
    KoMntEntry* head = koReadMntTab(buffer.data(), bufferSize);
    r.ok = head != nullptr;
    if (!r.ok) r.error = buffer.data();
    while (head != nullptr) {
      r.records.push_back(*head);
      KoMntEntry* next = head->next;
      std::free(head);
      head = next;
    }
    return r;
  }

  ScratchDir dir_;
  std::string table_;
  ScopedEnv env_;
};

TEST_F(MountTableTest, FieldsEscapesAndReadOnlyFlag) {
  Read r = ReadTable(
      "/dev/vda / ext4 rw,relatime 0 0\n"
      "\n"
      "  \t \n"
      "srv:/my\\040share /mnt/with\\040space\\011tab nfs ro,vers=4 0 0\n"
      "back\\134slash /mnt/a\\b\\12 tmpfs rw,rom 0 0\n"
      "fsdev\t/mnt/fstab\tcifs\tdefaults,ro");  // 4 fields, no final newline
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.records.size(), 4u);
  EXPECT_STREQ(r.records[0].device, "/dev/vda");
  EXPECT_STREQ(r.records[0].mountPoint, "/");
  EXPECT_STREQ(r.records[0].fsType, "ext4");
  EXPECT_STREQ(r.records[0].auxText, "rw,relatime");
  EXPECT_EQ(r.records[0].auxFlag, 0);
  EXPECT_STREQ(r.records[1].device, "srv:/my share");
  EXPECT_STREQ(r.records[1].mountPoint, "/mnt/with space\ttab");
  EXPECT_EQ(r.records[1].auxFlag, 1);
  // Only three octal digits make an escape; other backslashes stay.
  EXPECT_STREQ(r.records[2].device, "back\\slash");
  EXPECT_STREQ(r.records[2].mountPoint, "/mnt/a\\b\\12");
  EXPECT_EQ(r.records[2].auxFlag, 0) << "\"rom\" is not \"ro\"";
  EXPECT_STREQ(r.records[3].mountPoint, "/mnt/fstab");
  EXPECT_EQ(r.records[3].auxFlag, 1);
}

TEST_F(MountTableTest, MalformedLineFailsNamingIt) {
  const struct {
    const char* line;
    const char* why;
  } cases[] = {
      {"onlydevice /mnt ext4", "3 fields where 4 to 6 were expected"},
      {"a /b ext4 rw 0 0 extra", "7 fields where 4 to 6 were expected"},
      {"a /b ext4 rw x 0", "field 5 is not a number"},
      {"a /b ext4 rw 0 -1", "field 6 is not a number"},
      {"a /b\\000c ext4 rw 0 0", "bad escape in the mount point"},
      {"a\\777 /b ext4 rw 0 0", "bad escape in the device"},
  };
  for (const auto& c : cases) {
    Read r = ReadTable(std::string("/dev/vda / ext4 rw 0 0\n\n") + c.line + "\nlast /l x rw 0 0\n");
    EXPECT_FALSE(r.ok) << c.line;
    EXPECT_EQ(r.error, "Mount table " + table_ + " line 3 is malformed: " + c.why) << c.line;
  }
  // A raw NUL byte would cut the mount point's text to "/b".
  Read r = ReadTable(std::string("/dev/vda / ext4 rw 0 0\na /b") + '\0' + "c ext4 rw 0 0\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            "Mount table " + table_ + " line 2 is malformed: a NUL byte in the mount point");
}

TEST_F(MountTableTest, EmptyOrMissingTableFails) {
  Read r = ReadTable("\n \n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "Mount table " + table_ + " holds no entries");

  const std::string missing = dir_.File("none");
  ScopedEnv env("KO_MOUNT_TABLE", missing);
  r = ReadCurrent();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "Cannot open mount table " + missing + ": No such file or directory");
  // A small buffer still gets a NUL-terminated (shortened) text; a null buffer is allowed.
  r = ReadCurrent(8);
  EXPECT_EQ(r.error, "Cannot ");
  EXPECT_EQ(koReadMntTab(nullptr, 0), nullptr);
}

TEST_F(MountTableTest, GetAllCopiesEveryField) {
  WriteFile(table_, "/dev/vda / ext4 rw 0 0\nsrv:/x /mnt/n\\040x nfs ro,soft 0 0\n");
  std::list<KoMntTab::Entry> entries(3);
  CZeError status = KoMntTab::getAll(entries);
  ASSERT_FALSE(status.IsError()) << status.AsString();
  ASSERT_EQ(entries.size(), 2u);
  const KoMntTab::Entry& nfs = entries.back();
  EXPECT_EQ(nfs.device, "srv:/x");
  EXPECT_EQ(nfs.mountPoint, "/mnt/n x");
  EXPECT_TRUE(nfs.auxFlag);
  EXPECT_EQ(nfs.auxText, "ro,soft");
  EXPECT_EQ(nfs.fsType, "nfs");

  WriteFile(table_, "broken\n");
  status = KoMntTab::getAll(entries);
  EXPECT_TRUE(status.IsError());
  EXPECT_EQ(status.AsString(),
            "Mount table " + table_ + " line 1 is malformed: 1 fields where 4 to 6 were expected");
  EXPECT_TRUE(entries.empty());
}

}  // namespace
