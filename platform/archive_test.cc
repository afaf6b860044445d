// Archive copies: written and read back, version 1 and 2 headers, damaged copies and changing
// sources refused, and the last copy taken back.
#include "platform/archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "foundation/coding.h"
#include "platform/archive_format.h"
#include "testing/test_util.h"
#include "trhsm/KoCrc32.h"

namespace {

namespace af = trhsm::archive_format;
namespace tp = trhsm::platform;
using trhsm_test::Contains;
using trhsm_test::ReadFile;

class ArchiveTest : public ::testing::Test {
 protected:
  // The copy at `offset` of archive (group, 1) written out by CopyOut; "<failed: why>" on refusal.
  std::string CopiedOut(int64_t group, int64_t offset, tp::CopyHeader* h) {
    const int fd = ::open(dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::string error;
    const bool ok = tp::CopyOut(root_, group, 1, offset, fd, h, &error);
    ::close(fd);
    return ok ? ReadFile(dir_.File("out")) : "<failed: " + error + ">";
  }
  // Appends a copy of a file holding `bytes` to archive (group, 1); its offset.
  int64_t Append(tp::ArchiveAppender* appender, const std::string& bytes) {
    trhsm_test::WriteFile(source_, bytes);
    int64_t offset = -1;
    tp::CopyHeader h;
    std::string error;
    EXPECT_TRUE(appender->Append(source_, &offset, &h, &error)) << error;
    return offset;
  }

  trhsm_test::ScratchDir dir_;
  const std::string root_ = dir_.File("archive"), source_ = dir_.File("src");
};

TEST_F(ArchiveTest, CopiesReadBackAndTheLastIsTakenBack) {
  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + i / 7);
  tp::ArchiveAppender appender(root_, 3, 1);
  int64_t end = 0, offset = -1;
  std::string error;
  for (const std::string& bytes : {std::string(), std::string("abc"), big}) {
    offset = Append(&appender, bytes);
    EXPECT_EQ(offset, end);
    end += static_cast<int64_t>(af::kHeaderSize + bytes.size());
    tp::CopyHeader h;
    EXPECT_EQ(CopiedOut(3, offset, &h), bytes);
    struct stat st;
    ASSERT_EQ(::stat(source_.c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(h.size, h.modTime, h.modTimeNsec, h.changeTime, h.changeTimeNsec),
              std::make_tuple(uint64_t{bytes.size()}, st.st_mtim.tv_sec,
                              static_cast<uint32_t>(st.st_mtim.tv_nsec), st.st_ctim.tv_sec,
                              static_cast<uint32_t>(st.st_ctim.tv_nsec)));
    EXPECT_EQ(h.inode, st.st_ino);
    EXPECT_TRUE(tp::VerifyCopy(root_, 3, 1, offset, &h, &error)) << error;
  }
  const std::string archive = tp::ArchiveFilePath(root_, 3, 1);
  EXPECT_EQ(archive, root_ + "/3/1.arc");
  EXPECT_FALSE(appender.TakeBack(0, &error));
  EXPECT_PRED2(Contains, error, "copy in " + archive + " at offset 0 is not the last one");
  ASSERT_TRUE(appender.TakeBack(offset, &error)) << error;
  EXPECT_EQ(static_cast<int64_t>(ReadFile(archive).size()), offset);
  EXPECT_EQ(Append(&appender, "again"), offset);
}

// Copies written before change times were recorded (version 1, a 36-byte header) still read.
TEST_F(ArchiveTest, VersionOneCopiesStillRead) {
  tp::ArchiveAppender appender(root_, 3, 1);
  ASSERT_EQ(Append(&appender, "abc"), 0);
  std::string v1 = ReadFile(tp::ArchiveFilePath(root_, 3, 1)).substr(0, af::kHeaderSizeV1);
  trhsm::EncodeFixed16BE(&v1[af::kVersionOffset], af::kVersionV1);
  trhsm::EncodeFixed16BE(&v1[af::kHeaderSizeOffset], af::kHeaderSizeV1);
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(v1.data(), af::kHeaderSizeV1 - af::kHeaderCrcSize, &reg);
  trhsm::EncodeFixed32LE(&v1[af::kHeaderSizeV1 - af::kHeaderCrcSize], ~reg);
  ASSERT_TRUE(::mkdir((root_ + "/4").c_str(), 0755) == 0);
  trhsm_test::WriteFile(tp::ArchiveFilePath(root_, 4, 1), v1 + "abc");
  tp::CopyHeader h;
  EXPECT_EQ(CopiedOut(4, 0, &h), "abc");
  EXPECT_EQ(std::make_tuple(h.HasChangeTime(), h.headerSize, h.changeTime, h.inode),
            std::make_tuple(false, uint32_t{af::kHeaderSizeV1}, int64_t{0}, uint64_t{0}));
}

// A damaged copy is refused by VerifyCopy and CopyOut; the copy before it still reads.
TEST_F(ArchiveTest, DamagedCopiesAreRefused) {
  const struct {
    size_t at;          // into the second copy
    const char* patch;  // written there; nullptr: the archive is cut there
    const char* want;
  } rows[] = {
      {af::kHeaderSize + 2, "\x5A", "fails its checksum"},
      {af::kSizeOffset + 7, "\x01", "no copy header"},
      {af::kHeaderSize + 2, nullptr, "declares 4 bytes, but only 2 follow"},
  };
  int64_t group = 10;
  for (const auto& r : rows) {
    tp::ArchiveAppender appender(root_, ++group, 1);
    const int64_t first = Append(&appender, "abc"), second = Append(&appender, "tail");
    const std::string archive = tp::ArchiveFilePath(root_, group, 1);
    const int fd = ::open(archive.c_str(), O_WRONLY | O_CLOEXEC);
    const off_t at = static_cast<off_t>(second + static_cast<int64_t>(r.at));
    ASSERT_EQ(r.patch ? ::pwrite(fd, r.patch, 1, at) - 1 : ::ftruncate(fd, at), 0);
    ::close(fd);
    tp::CopyHeader h;
    std::string error;
    EXPECT_FALSE(tp::VerifyCopy(root_, group, 1, second, &h, &error));
    EXPECT_PRED2(Contains, error, r.want);
    EXPECT_PRED2(Contains, CopiedOut(group, second, &h), r.want);
    EXPECT_TRUE(tp::VerifyCopy(root_, group, 1, first, &h, &error)) << error;
  }
}

// A source whose bytes change while it is copied is not archived under a wrong checksum.
TEST_F(ArchiveTest, SourceChangingWhileArchivedIsRefused) {
  const std::string changing = "/proc/self/io";  // its read counter grows with every read of it
  if (ReadFile(changing).empty()) GTEST_SKIP() << changing << " cannot be read here";
  tp::ArchiveAppender appender(root_, 3, 1);
  const int64_t end = Append(&appender, "abc") + static_cast<int64_t>(af::kHeaderSize) + 3;
  int64_t offset = 77;
  tp::CopyHeader h;
  std::string error;
  EXPECT_FALSE(appender.Append(changing, &offset, &h, &error));
  EXPECT_EQ(error, changing + " changed while it was being archived");
  EXPECT_EQ(offset, 77);
  EXPECT_EQ(static_cast<int64_t>(ReadFile(tp::ArchiveFilePath(root_, 3, 1)).size()), end);
}

}  // namespace
