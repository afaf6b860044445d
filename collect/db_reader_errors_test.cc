// The database reader's edges: atoll-style column numbers and reparse texts with negative and
// extreme values (checked against the C library) or no memory, an emptied collect file name, a
// failed read of the stub-list input, and a null failure text.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "collect/reparse_text.h"
#include "testing/alloc_fault.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

using trhsm::collect::ViewToInt64;
using trhsm::collect::ViewToUint64;
using trhsm_test::ListFolder;
using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

TEST(ReparseText, NumbersReadLikeTheCLibrary) {
  // Blanks of every kind, signs, stray bytes below '0' and above '9', no digits at all.
  const std::vector<std::string> texts = {"",
                                          " 12",
                                          "\t\n\v\f\r-7x",
                                          "+5",
                                          "-",
                                          "+",
                                          "\x01"
                                          "5",
                                          "\x0e"
                                          "5",
                                          " - 3",
                                          "12a3",
                                          "12/3",
                                          "-0",
                                          "9:9",
                                          "-9223372036854775808",
                                          "9223372036854775807"};
  for (const std::string& text : texts) {
    // A view without the terminator: the reader must stop at its end.
    const std::string padded = text + "7";
    EXPECT_EQ(ViewToInt64(std::string_view(padded.data(), text.size())), std::atoll(text.c_str()))
        << '"' << text << '"';
    const bool plain = !text.empty() && text[0] >= '0' && text[0] <= '9';
    EXPECT_EQ(ViewToUint64(text), plain ? std::strtoull(text.c_str(), nullptr, 10) : 0u)
        << '"' << text << '"';
  }
  // Out of range wraps modulo 2^64 instead of being undefined.
  EXPECT_EQ(ViewToInt64("99999999999999999999"), INT64_C(7766279631452241919));
  EXPECT_EQ(ViewToInt64("-18446744073709551617"), -1);
  EXPECT_EQ(ViewToUint64("18446744073709551617"), 1u);
}

TEST(ReparseText, NegativeAndExtremeNumbersFormatLikePrintf) {
  for (const int32_t aux : {-5, INT32_MIN, INT32_MAX, 0}) {
    for (const uint64_t now : {UINT64_C(0), UINT64_MAX}) {
      char expected[256];
      std::snprintf(expected, sizeof expected, "1:%" PRId32 ":g:f:o:1:4:name|%" PRIu64, aux, now);
      std::string out = "stale";
      trhsm::collect::BuildNormalReparse(out, aux, "g", "f", "o", "name", now);
      EXPECT_EQ(out, expected);
      std::snprintf(expected, sizeof expected, "1:%" PRId32 ":g:f::2:0::%" PRId32 ":A:|%" PRIu64,
                    aux, aux, now);
      trhsm::collect::BuildTurboReparse(out, aux, "g", "f", "", "", aux, "A", "", now);
      EXPECT_EQ(out, expected);
    }
  }
}

TEST(ReparseText, OutOfMemoryLeavesTheTextAsItWas) {
  const std::string name(100, 'n');
  std::string out = "stale";
  {
    trhsm_test::ScopedAllocFault oom(1);
    EXPECT_THROW(trhsm::collect::BuildNormalReparse(out, 1, "g", "f", "o", name, 1),
                 std::bad_alloc);
    EXPECT_TRUE(oom.fired());
  }
  EXPECT_EQ(out, "stale");
}

class DbReaderErrorsTest : public ::testing::Test {
 protected:
  DbReaderErrorsTest() {
    args_.collectFolder = dir_.path() + "/";
    args_.jobId = 12;
  }
  ScratchDir dir_;
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
  LogCapture log_;
};

TEST_F(DbReaderErrorsTest, EmptiedFileNameIsRefusedByOpen) {
  WriteFile(dir_.File("_12.kof"), "x\n");
  TRHSMCollectFileDBReader reader(args_, events_, false, "", 0);
  reader.m_dstFileName.clear();
  EXPECT_EQ(reader.Open(), 0);
  EXPECT_TRUE(log_.Contains("TRHSMCollectFileDBReader::Open: m_dstFileName is empty."))
      << log_.Text();
}

TEST_F(DbReaderErrorsTest, ReadErrorOnTheInputKeepsTheEarlierList) {
  std::string in = dir_.File("in.kof"), out = dir_.File("out.lst");
  WriteFile(in, "|a:b|1|\n|c:d|2|\n");
  WriteFile(out, "earlier\n");
  TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
  for (long n : {1L, 2L}) {
    SCOPED_TRACE(n);
    log_.Clear();
    {
      ScopedFault fault("read", n, EIO, true);
      EXPECT_EQ(reader.ProcessStubCollectFile(in, out), 0);
      EXPECT_TRUE(trhsm_fault_fired());
    }
    EXPECT_EQ(ReadFile(out), "earlier\n") << "a short list replaced the earlier one";
    EXPECT_TRUE(log_.Contains("Failed to write the stub list " + out + ": " + std::strerror(EIO)))
        << log_.Text();
    EXPECT_EQ(ListFolder(dir_.path()), (std::vector<std::string>{"in.kof", "out.lst"}));
  }
  EXPECT_EQ(reader.ProcessStubCollectFile(in, out), 1);
  EXPECT_EQ(ReadFile(out), "a\nc\n");
  // A device takes the lines directly: there is no temporary file to drop.
  std::string device = "/dev/null";
  ScopedFault fault("read", 1, EIO, true);
  EXPECT_EQ(reader.ProcessStubCollectFile(in, device), 0);
}

TEST_F(DbReaderErrorsTest, NullFailureTextWritesNothing) {
  std::string failures = dir_.File("failures");
  TRHSMCollectFileDBReader reader(args_, events_, true, "", 0);
  reader.SetFailureFile(failures);
  reader.WriteToFailures(nullptr);
  reader.WriteToFailures("one");
  reader.SetFailureFile(static_cast<FILE*>(nullptr));  // closes, and so flushes, the owned file
  EXPECT_EQ(ReadFile(failures), "one\n");
}

}  // namespace
