// Archive copies and the backup index as trhsm-index writes them and the recall tools and the
// collect reader read them. Damaged headers and cut archive files: the fuzz target.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/archive.h"
#include "testing/registered_index.h"
#include "trhsm/FsClientApi.h"

namespace {

namespace tp = trhsm::platform;
using trhsm_test::Contains;
using trhsm_test::ReadFile;

class BackupStoreTest : public ::testing::Test {
 protected:
  // The copy at `offset` written out by CopyOut, "<failed: why>" on refusal; its header in h_.
  std::string CopiedOut(int64_t offset) {
    const int fd = ::open(dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool ok = tp::CopyOut(root_, 3, 1, offset, fd, &h_, &error_);
    ::close(fd);
    return ok ? ReadFile(dir_.File("out")) : "<failed: " + error_ + ">";
  }
  // Appends a copy of a source file holding `bytes`; its offset, -1 when refused.
  int64_t Append(const std::string& bytes) {
    trhsm_test::WriteFile(source_, bytes);
    int64_t offset = -1;
    return appender_.Append(source_, &offset, &h_, &error_) ? offset : -1;
  }

  trhsm_test::ScratchDir dir_;
  const std::string root_ = dir_.File("archive"), source_ = dir_.File("src");
  const std::string archive_ = root_ + "/3/1.arc";
  tp::ArchiveAppender appender_{root_, 3, 1};
  tp::CopyHeader h_;
  std::string error_;
};

TEST_F(BackupStoreTest, CopiesReadBackWithEitherHeaderUnlessDamaged) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 7);
  ASSERT_EQ(Append(bytes), 0) << error_;
  EXPECT_EQ(CopiedOut(0), bytes);
  struct stat st;
  ASSERT_EQ(::stat(source_.c_str(), &st), 0);
  EXPECT_EQ(std::make_tuple(h_.headerSize, h_.size, h_.modTime, h_.modTimeNsec, h_.changeTime,
                            h_.changeTimeNsec, h_.inode),
            std::make_tuple(56u, bytes.size(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                            st.st_ctim.tv_sec, st.st_ctim.tv_nsec, st.st_ino));
  // A copy written before change times were recorded: a 36-byte version 1 header, then "abc".
  std::string file = ReadFile(archive_);
  const int64_t v1 = static_cast<int64_t>(file.size());
  file.append(
      "TRAC\x00\x01\x00\x24\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x65\x53\xf1\x00"
      "\x05\x00\x00\x00\xc2\x41\x24\x35\xa3\x57\x0c\x91\x61\x62\x63",
      39);
  trhsm_test::WriteFile(archive_, file);
  EXPECT_EQ(CopiedOut(v1), "abc");
  EXPECT_EQ(std::make_tuple(h_.headerSize, h_.HasChangeTime(), h_.modTime, h_.modTimeNsec),
            std::make_tuple(36u, false, int64_t{1700000000}, 5u));
  // One damaged byte fails the checksum of its copy only.
  file[5000] ^= 1;
  trhsm_test::WriteFile(archive_, file);
  EXPECT_FALSE(tp::VerifyCopy(root_, 3, 1, 0, &h_, &error_));
  EXPECT_PRED2(Contains, error_, "fails its checksum");
  EXPECT_PRED2(Contains, CopiedOut(0), "fails its checksum");
  EXPECT_TRUE(tp::VerifyCopy(root_, 3, 1, v1, &h_, &error_)) << error_;
}

TEST_F(BackupStoreTest, OnlyTheLastCopyIsTakenBack) {
  ASSERT_EQ(Append("abc"), 0) << error_;
  const int64_t last = Append("tail");
  EXPECT_FALSE(appender_.TakeBack(0, &error_));
  EXPECT_PRED2(Contains, error_, "copy in " + archive_ + " at offset 0 is not the last one");
  ASSERT_TRUE(appender_.TakeBack(last, &error_)) << error_;
  EXPECT_EQ(Append("again"), last);
  // A source whose bytes change while it is copied is not archived under a wrong checksum.
  const std::string changing = "/proc/self/io";  // its read counter grows with every read of it
  if (ReadFile(changing).empty()) GTEST_SKIP() << changing << " cannot be read here";
  int64_t offset;
  EXPECT_FALSE(appender_.Append(changing, &offset, &h_, &error_));
  EXPECT_EQ(error_, changing + " changed while it was being archived");
  EXPECT_EQ(ReadFile(archive_).size(), static_cast<size_t>(last) + 56 + 5);
}

tp::BackupItem Item(const std::string& name, uint64_t inode,
                    std::vector<std::pair<int64_t, std::string>> metadata) {
  return {12, 3, 1, 10, 100, name, 1700000000, inode, metadata};
}

// Items added and written by the query as the collect reader asks for them.
TEST_F(BackupStoreTest, IndexItemsComeBackExactly) {
  const std::vector<tp::BackupItem> items = {Item("/a,b", 1, {{643422786, "G"}, {5, "x"}}),
                                             Item("/\"q\\", 2, {}),
                                             Item("/bare\xff\r", 18446744073709551615ull, {})};
  trhsm_test::RegisteredIndex registered(dir_, items);
  auto index = tp::BackupIndex::Open(registered.path(), tp::BackupIndex::Mode::kCreate, &error_);
  ASSERT_TRUE(index) << error_;
  // What a collect-file line could not carry is refused, and nothing of it stored.
  for (const tp::BackupItem& refused :
       {Item("", 1, {}), Item("/a\nb", 1, {}), Item(std::string("/a\0b", 4), 1, {}),
        Item("/ok", 1, {{5, "two\nlines"}}), Item("/ok", 1, {{5, "x"}, {5, "y"}}),
        Item("/ok", 1, {{tp::kInodeAttribute, "1"}})}) {
    EXPECT_FALSE(index->AddItem(refused, &error_)) << refused.fullFileName;
  }
  // Columns that the index does not have fail the query.
  const std::string columns =
      "arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,"
      "mod_time,metadata-1613830181,metadata-643422786,inode";
  for (const std::string& asked : {columns + ",size", columns + ",metadata-12x", columns}) {
    EXPECT_EQ(apiGetBackedUpItemsByJob(12, dir_.path() + "/", "l.kof", asked, "host", 2, 0, 0, ",",
                                       nullptr, nullptr, "|", "\n", "") < 0,
              asked != columns);
  }
  // A field holding the separator, a quote or a backslash is quoted, those two escaped.
  EXPECT_EQ(ReadFile(dir_.File("l.kof")),
            "3,1,10,100,\"/a,b\",1700000000,1,G,1\n"
            "3,1,10,100,\"/\\\"q\\\\\",1700000000,2,,2\n"
            "3,1,10,100,/bare\xff\r,1700000000,18446744073709551615,,18446744073709551615\n");
}

}  // namespace
