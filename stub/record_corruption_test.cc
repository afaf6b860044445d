// Stub records damaged every way one bit or a cut can damage them: each is refused with the
// decoder's message for the first check it fails, and no output is left half filled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "stub/record_format.h"
#include "testing/corruption.h"
#include "testing/test_util.h"
#include "trhsm/FXString.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace sr = trhsm::stub_record;
using trhsm_test::BitFlip;
using trhsm_test::ForEachBitFlip;
using trhsm_test::LogCapture;
using trhsm_test::LoggedMessages;
using trhsm_test::ScopedEnv;

// Room for any record a damaged length field can declare.
constexpr size_t kViewSize = sr::kMaxRecordLength + 1;

std::string Encode(const std::string& metadata, int64_t value) {
  std::string record(static_cast<size_t>(trhsm_meta2stub(metadata.c_str(), value, nullptr, 0)),
                     '\0');
  EXPECT_EQ(trhsm_meta2stub(metadata.c_str(), value, &record[0], static_cast<int>(record.size())),
            static_cast<int>(record.size()));
  return record;
}

// The bytes a decoder may read for `record`: a damaged length field can send it up to 65535
// bytes, so the record stands in a zero-filled buffer as a reader's buffer would hold it.
std::string ZeroPadded(const std::string& record) {
  std::string view = record;
  view.resize(kViewSize, '\0');
  return view;
}

struct Expected {
  std::string message;
  int storedLength = -7;  // what the record-length output must hold after the refusal
};

// The refusal the decoder owes `view` with a metadata buffer of `metadataSize` bytes (negative:
// none): the first of its checks, in their documented order, that the bytes fail. An empty message
// means the bytes pass every check.
Expected ExpectedRefusal(const std::string& view, int metadataSize) {
  Expected e;
  const char* p = view.data();
  if (p[0] == '\0') {
    e.message = "Invalid NULL input passed.";
    return e;
  }
  const uint64_t signature = trhsm::DecodeFixed64BE(p + sr::kSignatureOffset);
  if (signature != sr::kSignature) {
    e.message = FXString::Format("Invalid stub signature 0x%08llx (should have been 0x%08llx)",
                                 static_cast<unsigned long long>(signature),
                                 static_cast<unsigned long long>(sr::kSignature));
    return e;
  }
  const int version = static_cast<unsigned char>(p[sr::kVersionOffset]);
  if (version != 1) {
    e.message = FXString::Format("Invalid stub version %d (should have been 1)", version);
    return e;
  }
  const int length = trhsm::DecodeFixed16BE(p + sr::kLengthOffset);
  if (length < 26) {
    e.message = FXString::Format("Stub data is too short (%d instead of at least 26)", length);
    return e;
  }
  if (metadataSize >= 0 && metadataSize <= length - 26) {
    e.message = FXString::Format("Metadata will not fit into the incoming buffer (%d>%d)",
                                 length - 26, metadataSize);
    e.storedLength = length;
    return e;
  }
  uint32_t computed = 0xFFFFFFFFu;
  ko_crc32(p, static_cast<size_t>(length) - 4, &computed);
  const uint32_t stored = trhsm::DecodeFixed32LE(p + length - 4);
  if (stored != computed) {
    e.message = FXString::Format("Stub data is corrupt: invalid CRC32 0x%08x instead of 0x%08x",
                                 stored, computed);
    return e;
  }
  const int metaLength = trhsm::DecodeFixed16BE(p + sr::kMetaLengthOffset);
  if (metaLength == 0 || metaLength > length - 26 ||
      (metadataSize >= 0 && metadataSize <= metaLength)) {
    e.message = FXString::Format("Stub data contains invalid metadata length %d", metaLength);
  }
  return e;
}

// The decoder's log files, switched through KO_LOG_FILE: a logging decode writes to one that is
// emptied first, the quiet decodes all share the other, which must stay empty.
struct DecodeLogs {
  trhsm_test::ScratchDir dir;
  std::string loud = dir.File("loud");
  std::string quiet = dir.File("quiet");
  ~DecodeLogs() { EXPECT_EQ(trhsm_test::ReadFile(quiet), "") << "a quiet decode logged"; }
};

// Decodes `view` three ways (a large metadata buffer with the log on, the tightest buffer the good
// record fits, no buffer) and checks each refusal: false, the expected message logged exactly once
// (nothing when quiet), and the outputs as they were but for the one documented exception.
void ExpectRefused(const std::string& view, int goodMetaLength, const std::string& trace,
                   DecodeLogs* logs) {
  SCOPED_TRACE(trace);
  const int sizes[] = {static_cast<int>(kViewSize), goodMetaLength + 1, -1};
  for (int size : sizes) {
    const Expected expected = ExpectedRefusal(view, size);
    ASSERT_FALSE(expected.message.empty()) << "the damage passes every check";
    const bool quiet = size != static_cast<int>(kViewSize);
    std::vector<char> metadata(size > 0 ? static_cast<size_t>(size) : 1, 'X');
    int length = -7;
    int64_t value = -7;
    ScopedEnv logFile("KO_LOG_FILE", quiet ? logs->quiet : logs->loud);
    if (!quiet) trhsm_test::WriteFile(logs->loud, "");
    const bool ok = trhsm_stub2meta(view.data(), &length, &value,
                                    size > 0 ? metadata.data() : nullptr, size, quiet);
    EXPECT_FALSE(ok) << "buffer " << size;
    EXPECT_EQ(length, expected.storedLength) << "buffer " << size;
    EXPECT_EQ(value, -7) << "buffer " << size;
    // The decoder copies only after every check; one touched byte would show at the start.
    const size_t watched = std::min(metadata.size(), static_cast<size_t>(goodMetaLength) + 2);
    EXPECT_EQ(std::string(metadata.data(), watched), std::string(watched, 'X'))
        << "buffer " << size;
    if (!quiet) {
      const std::vector<std::string> logged = LoggedMessages(trhsm_test::ReadFile(logs->loud));
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(logged[0], "ERROR trhsm_stub2meta: " + expected.message);
    }
  }
}

// A record's bytes as the decoder sees them after damage at byte `at`: behind a damaged length
// field anything up to 65535 bytes may be read, so the record sits in a zero-filled buffer; any
// other damage leaves the length, and the record has an allocation of exactly its size, so a read
// beyond it shows under ASan.
std::string DecoderView(const std::string& damaged, size_t at) {
  const bool lengthDamaged = at >= sr::kLengthOffset && at < sr::kLengthOffset + 2;
  return lengthDamaged ? ZeroPadded(damaged) : damaged;
}

struct Sample {
  const char* name;
  std::string metadata;
};

std::vector<Sample> Samples() {
  return {
      {"empty metadata", ""},
      {"one byte", "a"},
      {"short reparse text", "1:3:7:8:9:1:11:/data/plain|1700000000"},
      {"longest text a stub reader takes", std::string(1023, 'g')},
  };
}

TEST(StubRecordCorruption, EveryBitFlipIsRefusedWithTheFirstFailedCheck) {
  DecodeLogs logs;
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    const std::string good = Encode(s.metadata, -2);
    const int metaLength = static_cast<int>(s.metadata.size());
    ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
      ExpectRefused(DecoderView(damaged, flip.at), metaLength, flip.Describe(good), &logs);
    });
  }
}

TEST(StubRecordCorruption, FlipsOfTheLongestRecordAreRefused) {
  DecodeLogs logs;
  // Every bit of the header and of the tail, and one bit of every 97th byte between: a flip of
  // each bit of 65535 bytes would CRC four gigabytes.
  const std::string metadata(sr::kMaxMetadataLength, 'm');
  const std::string good = Encode(metadata, INT64_MIN);
  ASSERT_EQ(good.size(), static_cast<size_t>(sr::kMaxRecordLength));
  const int metaLength = static_cast<int>(metadata.size());
  auto check = [&](const std::string& damaged, BitFlip flip) {
    ExpectRefused(DecoderView(damaged, flip.at), metaLength, flip.Describe(good), &logs);
  };
  ForEachBitFlip(good, check, 0, 64);
  ForEachBitFlip(good, check, good.size() - 64);
  for (size_t at = 64; at < good.size() - 64; at += 97) {
    const BitFlip flip{at, static_cast<int>(at % 8)};
    check(trhsm_test::Flipped(good, flip), flip);
  }
}

TEST(StubRecordCorruption, EveryTruncationIsRefused) {
  DecodeLogs logs;
  // A stub file cut short, read into a zero-filled buffer of the largest record size.
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    const std::string good = Encode(s.metadata, 77);
    trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
      ExpectRefused(ZeroPadded(prefix), static_cast<int>(s.metadata.size()),
                    "cut to " + std::to_string(prefix.size()) + " bytes", &logs);
    });
  }
  const std::string longest = Encode(std::string(sr::kMaxMetadataLength, 'm'), 1);
  for (size_t length = 0; length < longest.size(); length += length < 64 ? 1 : 997) {
    ExpectRefused(ZeroPadded(longest.substr(0, length)), sr::kMaxMetadataLength,
                  "longest cut to " + std::to_string(length) + " bytes", &logs);
  }
  ExpectRefused(ZeroPadded(longest.substr(0, longest.size() - 1)), sr::kMaxMetadataLength,
                "longest without its last byte", &logs);
}

// The functions that take the stub file's bytes as a vector: every flip and every cut of a record
// fails with "Failed to extract metadata.", outputs unchanged, and no byte outside the vector is
// read (each vector is allocated at its exact size).
class StubBytesCorruption : public ::testing::Test {
 protected:
  StubBytesCorruption() : level_("KO_LOG_LEVEL", "2") {}

  void ExpectExtractionFails(const std::string& bytes, const std::string& trace) {
    SCOPED_TRACE(trace);
    std::vector<char> stub(bytes.begin(), bytes.end());
    log_.Clear();
    std::string text = "kept";
    EXPECT_EQ(GetStubReparseData(stub, text), 0);
    EXPECT_EQ(text, "kept");
    ReparseData data;
    data.field0 = 41;
    data.stubGUID = "kept";
    EXPECT_EQ(ParseStubData(stub, data), 0);
    EXPECT_EQ(data.field0, 41);
    EXPECT_EQ(data.stubGUID, "kept");
    std::string appGUID = "a";
    std::string stubGUID = "s";
    EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, appGUID, stubGUID), 0);
    EXPECT_EQ(appGUID, "a");
    EXPECT_EQ(stubGUID, "s");
    uint32_t appId = 9;
    EXPECT_EQ(GetAppIdAndGUIDFromStubData(stub, appId, stubGUID), 0);
    EXPECT_EQ(appId, 9u);
    EXPECT_EQ(stubGUID, "s");
    const std::string extract = "GetStubReparseData: Failed to extract metadata.";
    const std::vector<std::string> expected = {
        "DEBUG2 " + extract, "DEBUG2 " + extract, "DEBUG2 " + extract,
        "DEBUG2 getAppIdFromStubData: Failed to extract metadata."};
    EXPECT_EQ(LoggedMessages(log_.Text()), expected) << log_.Text();
  }

 private:
  ScopedEnv level_;
  LogCapture log_;
};

TEST_F(StubBytesCorruption, EveryFlipAndCutOfAStubFileFails) {
  const std::string good =
      Encode("1:3:7:8:9:2:36:0f8fad5b-d9cb-469f-a165-70867728950e:15:AG:4096|1700000000", 5);
  {
    // The undamaged record passes, so the failures below are the damage's.
    std::vector<char> stub(good.begin(), good.end());
    std::string text;
    ASSERT_EQ(GetStubReparseData(stub, text), 1);
  }
  ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
    ExpectExtractionFails(damaged, flip.Describe(good));
  });
  trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
    ExpectExtractionFails(prefix, "cut to " + std::to_string(prefix.size()) + " bytes");
  });
}

}  // namespace
