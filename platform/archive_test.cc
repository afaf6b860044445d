// Archive copies: written and read back with version 2 and version 1 headers, damaged copies and
// changing sources refused, and the last copy taken back.
#include "platform/archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
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

// A version 1 header (as written before change times were recorded) with the fields of `header`.
std::string VersionOne(std::string header) {
  const size_t crcAt = af::kHeaderSizeV1 - af::kHeaderCrcSize;
  trhsm::EncodeFixed16BE(&header[af::kVersionOffset], af::kVersionV1);
  trhsm::EncodeFixed16BE(&header[af::kHeaderSizeOffset], af::kHeaderSizeV1);
  uint32_t reg = 0xFFFFFFFFu;
  ko_crc32(header.data(), crcAt, &reg);
  trhsm::EncodeFixed32LE(&header[crcAt], ~reg);
  return header.substr(0, af::kHeaderSizeV1);
}

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
  // Appends a copy of a source file holding `bytes`; its offset, -1 when refused.
  int64_t Append(tp::ArchiveAppender* appender, const std::string& bytes) {
    trhsm_test::WriteFile(source_, bytes);
    int64_t offset = -1;
    tp::CopyHeader h;
    return appender->Append(source_, &offset, &h, &error_) ? offset : -1;
  }

  trhsm_test::ScratchDir dir_;
  const std::string root_ = dir_.File("archive"), source_ = dir_.File("src");
  std::string error_;
};

// The second copy of an archive file, edited by each row, read back or refused; the first stays.
TEST_F(ArchiveTest, CopiesReadBackUnlessDamaged) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 7);
  const size_t at = af::kHeaderSize + 3, end = at + af::kHeaderSize;  // after a copy of "abc"
  const struct {
    std::function<void(std::string*)> edit;  // of the file's bytes
    const char* error;                       // nullptr: read back whole
  } rows[] = {
      {[](std::string*) {}, nullptr},
      {[&](std::string* a) {
         a->replace(at, af::kHeaderSize, VersionOne(a->substr(at, af::kHeaderSize)));
       },
       nullptr},
      {[&](std::string* a) { (*a)[end + 5000] ^= 1; }, "fails its checksum"},
      {[&](std::string* a) { (*a)[at + af::kSizeOffset + 7] ^= 1; }, "no copy header"},
      {[&](std::string* a) { a->resize(end + 2); }, "declares 300000 bytes, but only 2 follow"},
  };
  for (int64_t group = 0; group < 5; ++group) {
    SCOPED_TRACE(group);
    tp::ArchiveAppender appender(root_, group, 1);
    ASSERT_EQ(Append(&appender, "abc"), 0) << error_;
    ASSERT_EQ(Append(&appender, bytes), static_cast<int64_t>(at)) << error_;
    const std::string archive = tp::ArchiveFilePath(root_, group, 1);
    std::string file = ReadFile(archive);
    rows[group].edit(&file);
    trhsm_test::WriteFile(archive, file);
    const char* error = rows[group].error;
    tp::CopyHeader h;
    EXPECT_EQ(tp::VerifyCopy(root_, group, 1, at, &h, &error_), error == nullptr) << error_;
    EXPECT_PRED2(Contains, error_, error ? error : "");
    const std::string out = CopiedOut(group, at, &h);
    EXPECT_TRUE(error ? Contains(out, error) : out == bytes) << out.substr(0, 200);
    const bool v2 = group == 0;
    struct stat st;
    ASSERT_EQ(::stat(source_.c_str(), &st), 0);
    EXPECT_TRUE(error ||
                std::make_tuple(h.HasChangeTime(), h.modTime, h.modTimeNsec, h.changeTime,
                                h.changeTimeNsec, h.inode) ==
                    std::make_tuple(v2, st.st_mtim.tv_sec, uint32_t(st.st_mtim.tv_nsec),
                                    v2 ? st.st_ctim.tv_sec : 0,
                                    v2 ? uint32_t(st.st_ctim.tv_nsec) : 0, v2 ? st.st_ino : 0));
    EXPECT_TRUE(tp::VerifyCopy(root_, group, 1, 0, &h, &error_)) << error_;
  }
}

TEST_F(ArchiveTest, OnlyTheLastCopyIsTakenBack) {
  tp::ArchiveAppender appender(root_, 3, 1);
  ASSERT_EQ(Append(&appender, "abc"), 0) << error_;
  const int64_t last = Append(&appender, "tail");
  const std::string archive = root_ + "/3/1.arc";
  EXPECT_FALSE(appender.TakeBack(0, &error_));
  EXPECT_PRED2(Contains, error_, "copy in " + archive + " at offset 0 is not the last one");
  ASSERT_TRUE(appender.TakeBack(last, &error_)) << error_;
  EXPECT_EQ(static_cast<int64_t>(ReadFile(archive).size()), last);
  EXPECT_EQ(Append(&appender, "again"), last);
  // A source whose bytes change while it is copied is not archived under a wrong checksum.
  const std::string changing = "/proc/self/io";  // its read counter grows with every read of it
  if (ReadFile(changing).empty()) GTEST_SKIP() << changing << " cannot be read here";
  int64_t offset = 77;
  tp::CopyHeader h;
  EXPECT_FALSE(appender.Append(changing, &offset, &h, &error_));
  EXPECT_EQ(error_, changing + " changed while it was being archived");
  EXPECT_EQ(offset, 77);
  EXPECT_EQ(ReadFile(archive).size(), last + af::kHeaderSize + 5);
}

}  // namespace
