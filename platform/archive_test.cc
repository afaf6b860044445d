// Archive copies: round trips of several sizes, and refusal of damaged or misplaced copies.
#include "platform/archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/coding.h"
#include "platform/archive_format.h"
#include "testing/test_util.h"
#include "trhsm/KoCrc32.h"

namespace {

namespace af = trhsm::archive_format;
using trhsm::platform::AppendCopy;
using trhsm::platform::ArchiveFilePath;
using trhsm::platform::CopyHeader;
using trhsm::platform::CopyOut;
using trhsm::platform::ReadCopyHeader;
using trhsm::platform::VerifyCopy;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// The copy at `offset` read back through CopyOut into a fresh file; "<failed: why>" on refusal.
std::string CopiedOut(const std::string& root, int64_t offset, const std::string& to,
                      CopyHeader* header) {
  int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  std::string error;
  bool ok = CopyOut(root, 3, 1, offset, fd, header, &error);
  ::close(fd);
  return ok ? ReadFile(to) : "<failed: " + error + ">";
}

void Patch(const std::string& path, int64_t at, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.File("archive");
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    contents_ = {"", "abc", big, "tail"};
    for (size_t i = 0; i < contents_.size(); ++i) {
      const std::string src = dir_.File("src" + std::to_string(i));
      WriteFile(src, contents_[i]);
      int64_t offset = -1;
      std::string error;
      ASSERT_TRUE(AppendCopy(root_, 3, 1, src, &offset, &error)) << error;
      offsets_.push_back(offset);
    }
    archive_ = ArchiveFilePath(root_, 3, 1);
  }

  ScratchDir dir_;
  std::string root_, archive_;
  std::vector<std::string> contents_;
  std::vector<int64_t> offsets_;
};

TEST_F(ArchiveTest, CopiesReadBackByteForByte) {
  EXPECT_EQ(archive_, root_ + "/3/1.arc");
  int64_t expected = 0;
  for (size_t i = 0; i < contents_.size(); ++i) {
    EXPECT_EQ(offsets_[i], expected) << i;
    expected += static_cast<int64_t>(af::kHeaderSize + contents_[i].size());
    CopyHeader h;
    EXPECT_EQ(CopiedOut(root_, offsets_[i], dir_.File("out"), &h), contents_[i]) << i;
    EXPECT_EQ(h.size, contents_[i].size());
    struct stat st;
    ASSERT_EQ(::stat(dir_.File("src" + std::to_string(i)).c_str(), &st), 0);
    EXPECT_EQ(h.modTime, st.st_mtim.tv_sec);
    EXPECT_EQ(h.modTimeNsec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    EXPECT_TRUE(h.HasChangeTime());
    EXPECT_EQ(h.changeTime, st.st_ctim.tv_sec);
    EXPECT_EQ(h.changeTimeNsec, static_cast<uint32_t>(st.st_ctim.tv_nsec));
    EXPECT_EQ(h.inode, st.st_ino);
    std::string error;
    EXPECT_TRUE(VerifyCopy(root_, 3, 1, offsets_[i], &h, &error)) << error;
  }
  EXPECT_EQ(static_cast<int64_t>(ReadFile(archive_).size()), expected);
}

// Copies written before change times were recorded (version 1, a shorter header) still read.
TEST_F(ArchiveTest, VersionOneCopiesStillRead) {
  const std::string v2 = ReadFile(archive_).substr(static_cast<size_t>(offsets_[1]),
                                                   af::kHeaderSize + contents_[1].size());
  std::string v1 = v2.substr(0, af::kHeaderSizeV1 - af::kHeaderCrcSize);
  trhsm::EncodeFixed16BE(&v1[af::kVersionOffset], af::kVersionV1);
  trhsm::EncodeFixed16BE(&v1[af::kHeaderSizeOffset], af::kHeaderSizeV1);
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(v1.data(), v1.size(), &reg);
  v1.resize(af::kHeaderSizeV1);
  trhsm::EncodeFixed32LE(&v1[af::kHeaderSizeV1 - af::kHeaderCrcSize], ~reg);
  const int64_t end = static_cast<int64_t>(ReadFile(archive_).size());
  // Last in the file, so that its header is all that follows the copy before it.
  Patch(archive_, end, v1 + v2.substr(af::kHeaderSize));
  CopyHeader h;
  EXPECT_EQ(CopiedOut(root_, end, dir_.File("out"), &h), contents_[1]);
  EXPECT_FALSE(h.HasChangeTime());
  EXPECT_EQ(h.headerSize, af::kHeaderSizeV1);
  EXPECT_EQ(h.changeTime, 0);
  EXPECT_EQ(h.inode, 0u);
  ASSERT_EQ(::truncate(archive_.c_str(), end + static_cast<int64_t>(af::kHeaderSizeV1)), 0);
  std::string error;
  EXPECT_FALSE(ReadCopyHeader(root_, 3, 1, end, &h, &error));
  EXPECT_NE(error.find("declares 3 bytes, but only 0 follow"), std::string::npos) << error;
}

TEST_F(ArchiveTest, DamagedByteFailsVerification) {
  // One byte inside the 1 MiB copy; its neighbours stay readable.
  Patch(archive_, offsets_[2] + static_cast<int64_t>(af::kHeaderSize) + 5000, "\x5A");
  CopyHeader h;
  std::string error;
  EXPECT_TRUE(ReadCopyHeader(root_, 3, 1, offsets_[2], &h, &error)) << error;
  EXPECT_FALSE(VerifyCopy(root_, 3, 1, offsets_[2], &h, &error));
  EXPECT_NE(error.find("fails its checksum"), std::string::npos) << error;
  EXPECT_NE(CopiedOut(root_, offsets_[2], dir_.File("out"), &h).find("fails its checksum"),
            std::string::npos);
  EXPECT_TRUE(VerifyCopy(root_, 3, 1, offsets_[1], &h, &error)) << error;
  EXPECT_TRUE(VerifyCopy(root_, 3, 1, offsets_[3], &h, &error)) << error;
}

TEST_F(ArchiveTest, DamagedHeaderIsNoHeader) {
  Patch(archive_, offsets_[1] + static_cast<int64_t>(af::kSizeOffset) + 7, "\x01");
  CopyHeader h;
  std::string error;
  EXPECT_FALSE(ReadCopyHeader(root_, 3, 1, offsets_[1], &h, &error));
  EXPECT_NE(error.find("no copy header"), std::string::npos) << error;
}

TEST_F(ArchiveTest, SizePastTheArchiveEndIsRefused) {
  // Cut the archive inside the last copy: its intact header now claims more than follows.
  ASSERT_EQ(::truncate(archive_.c_str(), offsets_[3] + static_cast<int64_t>(af::kHeaderSize) + 2),
            0);
  CopyHeader h;
  std::string error;
  EXPECT_FALSE(ReadCopyHeader(root_, 3, 1, offsets_[3], &h, &error));
  EXPECT_NE(error.find("declares 4 bytes, but only 2 follow"), std::string::npos) << error;
  EXPECT_FALSE(VerifyCopy(root_, 3, 1, offsets_[3], &h, &error));
  // Earlier copies are unaffected.
  EXPECT_TRUE(VerifyCopy(root_, 3, 1, offsets_[2], &h, &error)) << error;
}

TEST_F(ArchiveTest, OffsetsThatDoNotPointAtAHeaderAreRefused) {
  const int64_t end = static_cast<int64_t>(ReadFile(archive_).size());
  for (int64_t offset : {offsets_[1] + 1, offsets_[2] + 100, offsets_[1] - 1, end, end - 3,
                         end + 100, int64_t{-1}}) {
    CopyHeader h;
    std::string error;
    EXPECT_FALSE(ReadCopyHeader(root_, 3, 1, offset, &h, &error)) << offset;
    EXPECT_NE(error.find("no copy header"), std::string::npos) << offset << ": " << error;
  }
}

TEST_F(ArchiveTest, MissingArchiveAndSourceAreReported) {
  CopyHeader h;
  std::string error;
  EXPECT_FALSE(ReadCopyHeader(root_, 4, 1, 0, &h, &error));
  EXPECT_NE(error.find("open archive " + root_ + "/4/1.arc: No such file"), std::string::npos)
      << error;
  int64_t offset = 77;
  EXPECT_FALSE(AppendCopy(root_, 3, 1, dir_.File("nothing"), &offset, &error));
  EXPECT_EQ(offset, 77);
  const std::string link = dir_.File("link");
  ASSERT_EQ(::symlink(dir_.File("src1").c_str(), link.c_str()), 0);
  EXPECT_FALSE(AppendCopy(root_, 3, 1, link, &offset, &error));
  EXPECT_FALSE(AppendCopy(root_, 3, 1, dir_.path(), &offset, &error));
  // Nothing was appended by the refusals.
  EXPECT_TRUE(VerifyCopy(root_, 3, 1, offsets_[3], &h, &error)) << error;
  EXPECT_EQ(ReadFile(archive_).size(),
            static_cast<size_t>(offsets_[3]) + af::kHeaderSize + contents_[3].size());
}

}  // namespace
