// What the library and the tools need of the stand-ins beyond their own tests: archive copies of
// either header version, a source changing while archived, and the job client's restart file.
// Damaged headers and cut archive files: the fuzz target; the index's lines: the reader's tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "platform/archive.h"
#include "testing/test_util.h"
#include "trhsm/KOJobClient.h"

namespace {

namespace tp = trhsm::platform;
using trhsm_test::ReadFile;

TEST(BackupStoreTest, CopiesReadBackWithEitherHeaderUnlessDamaged) {
  trhsm_test::ScratchDir dir;
  const std::string root = dir.File("archive"), source = dir.File("src");
  const std::string archive = root + "/3/1.arc";
  tp::ArchiveAppender appender{root, 3, 1};
  tp::CopyHeader h;
  std::string error;
  auto copiedOut = [&](int64_t offset) {  // "<failed: why>" on refusal; its header in h
    const int fd = ::open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool ok = tp::CopyOut(root, 3, 1, offset, fd, &h, &error);
    ::close(fd);
    return ok ? ReadFile(dir.File("out")) : "<failed: " + error + ">";
  };
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 7);
  trhsm_test::WriteFile(source, bytes);
  int64_t offset = -1;
  ASSERT_TRUE(appender.Append(source, &offset, &h, &error) && offset == 0) << error;
  EXPECT_EQ(copiedOut(0), bytes);
  struct stat st;  // the recall tool restores the time
  ASSERT_EQ(::stat(source.c_str(), &st), 0);
  EXPECT_EQ(std::make_tuple(h.headerSize, h.size, h.modTime, h.modTimeNsec),
            std::make_tuple(56u, bytes.size(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  // A copy written before change times were recorded: a 36-byte version 1 header, then "abc".
  std::string file = ReadFile(archive);
  const int64_t v1 = static_cast<int64_t>(file.size());
  file.append(
      "TRAC\x00\x01\x00\x24\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00\x65\x53\xf1\x00"
      "\x05\x00\x00\x00\xc2\x41\x24\x35\xa3\x57\x0c\x91\x61\x62\x63",
      39);
  file[5000] ^= 1;  // fails the checksum of its copy only
  trhsm_test::WriteFile(archive, file);
  EXPECT_EQ(copiedOut(v1), "abc");
  EXPECT_EQ(std::make_tuple(h.headerSize, h.HasChangeTime(), h.modTime, h.modTimeNsec),
            std::make_tuple(36u, false, int64_t{1700000000}, 5u));
  EXPECT_PRED2(trhsm_test::Contains, copiedOut(0), "fails its checksum");
  // A source whose bytes change while it is copied is not archived under a wrong checksum.
  const std::string changing = "/proc/self/io";  // its read counter grows with every read of it
  if (ReadFile(changing).empty()) GTEST_SKIP() << changing << " cannot be read here";
  EXPECT_FALSE(appender.Append(changing, &offset, &h, &error));
  EXPECT_EQ(error, changing + " changed while it was being archived");
  EXPECT_EQ(ReadFile(archive), file);
}

// A job that failed or was flagged leaves its phase's restart string to the next run (in a file
// of its own, without a temporary beside it).
TEST(JobClientTest, RestartStringOutlivesAFailedOrFlaggedJob) {
  trhsm_test::Sandbox box;
  box.SetRegistry("[Base]\ndJOB_MANAGER_DIR=" + box.results());
  for (const auto status : {KOJS_SUCCESS_FLAGGED, KOJS_FAILURE}) {
    KOBkpJobClient job, next;
    ASSERT_TRUE(job.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
                job.concatPhaseParams(" -r 6000", KOJSCA_REPLACE));
    EXPECT_TRUE(job.complete(status, KOJSF_JOB, 0, KOPC_NONE));
    std::string restart = "stale";
    EXPECT_TRUE(next.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr) &&
                next.getRestartString(&restart, JMRL_LAST_RUN));
    EXPECT_EQ(restart, " -r 6000") << status;
    EXPECT_EQ(trhsm_test::ListFolder(box.results()),
              (std::vector<std::string>{"7.journal", "7.restart"}));
  }
}

}  // namespace
