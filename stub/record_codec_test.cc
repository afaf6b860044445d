// Stub record encoder and decoder: the exact bytes, every refusal with its message, and bounds.
// Round trips, buffer bounds and reads past the record are the fuzz targets' (stub_record_*).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "stub/record_format.h"
#include "testing/test_util.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::LogCapture;

std::vector<char> Encode(const std::string& metadata, int64_t value) {
  std::vector<char> record(
      static_cast<size_t>(trhsm_meta2stub(metadata.c_str(), value, nullptr, 0)));
  int written =
      trhsm_meta2stub(metadata.c_str(), value, record.data(), static_cast<int>(record.size()));
  EXPECT_EQ(written, static_cast<int>(record.size()));
  return record;
}

// Recomputes the CRC after a change, so a test reaches the check behind it.
void FixCrc(std::vector<char>* record) {
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(record->data(), record->size() - 4, &crc);
  trhsm::EncodeFixed32LE(record->data() + record->size() - 4, crc);
}

struct Decoded {
  bool ok = false;
  int length = -7;
  int64_t value = -7;
  std::string metadata;
};

Decoded Decode(const std::vector<char>& record, int metadataSize = 1024, bool quiet = false) {
  Decoded d;
  std::vector<char> buffer(static_cast<size_t>(metadataSize) + 1, 'X');
  d.ok = trhsm_stub2meta(record.data(), &d.length, &d.value, buffer.data(), metadataSize, quiet);
  buffer.back() = '\0';
  d.metadata = buffer.data();
  return d;
}

TEST(StubRecordEncode, ExampleRecordByteForByte) {
  const unsigned char expected[] = {0x56, 0x53, 0x54, 0x55, 0x42, 0x0a, 0x0e, 0xaf, 0x01, 0x00,
                                    0x1d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00,
                                    0x03, 0x61, 0x62, 0x63, 0x00, 0x8e, 0x69, 0xf8, 0xc9};
  std::vector<char> record = Encode("abc", 5);
  ASSERT_EQ(record.size(), sizeof(expected));
  EXPECT_EQ(0, std::memcmp(record.data(), expected, sizeof(expected)));

  LogCapture log;
  Decoded d = Decode(record);
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(log.Text(), "");  // a good record logs nothing
  EXPECT_EQ(d.length, 29);
  EXPECT_EQ(d.value, 5);
  EXPECT_EQ(d.metadata, "abc");
}

TEST(StubRecordEncode, BufferSizeLimits) {
  EXPECT_EQ(trhsm_meta2stub("hello", 1, nullptr, 0), 31);
  std::vector<char> buffer(31, 'Z');
  EXPECT_EQ(trhsm_meta2stub("hello", 1, buffer.data(), 31), 31);

  std::vector<char> small(30, 'Z');
  try {
    trhsm_meta2stub("hello", 1, small.data(), 30);
    FAIL() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ(e.getMessage(), "Buffer for stubfile data is too small.");
    EXPECT_EQ(e.getCode(), -1);
    EXPECT_EQ(e.getFunction(), "trhsm_meta2stub");
  }
  EXPECT_EQ(std::string(small.begin(), small.end()), std::string(30, 'Z'));
  EXPECT_THROW(trhsm_meta2stub("hello", 1, small.data(), -1), KoException);
}

TEST(StubRecordCodec, NullInputsAreRefused) {
  std::vector<char> buffer(64, 'Z');
  try {
    trhsm_meta2stub(nullptr, 1, buffer.data(), 64);
    FAIL() << "no exception";
  } catch (const KoException& e) {
    EXPECT_EQ(e.getMessage(), "Invalid NULL metadata passed.");
    EXPECT_EQ(e.getCode(), -1);
  }
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(64, 'Z'));
  LogCapture log;
  int length = -7;
  EXPECT_FALSE(trhsm_stub2meta(nullptr, &length, nullptr, buffer.data(), 64, false));
  EXPECT_EQ(length, -7);
  EXPECT_TRUE(log.Contains("trhsm_stub2meta: Invalid NULL input passed.")) << log.Text();
}

TEST(StubRecordEncode, LongestMetadataFitsAndOneMoreThrows) {
  std::string longest(65509, 'm');
  std::vector<char> record = Encode(longest, -3);
  ASSERT_EQ(record.size(), 65535u);
  std::vector<char> out(65510);
  int length = 0;
  int64_t value = 0;
  ASSERT_TRUE(trhsm_stub2meta(record.data(), &length, &value, out.data(), 65510, false));
  EXPECT_EQ(length, 65535);
  EXPECT_EQ(value, -3);
  EXPECT_EQ(std::string(out.data()), longest);

  std::string tooLong(65510, 'm');
  std::vector<char> buffer(70000, 'Z');
  try {
    trhsm_meta2stub(tooLong.c_str(), 1, buffer.data(), 70000);
    FAIL() << "no exception";
  } catch (const KoException& e) {
    EXPECT_NE(e.getMessage().find("too long"), std::string::npos) << e.getMessage();
    EXPECT_EQ(e.getCode(), -1);
  }
  EXPECT_EQ(buffer[0], 'Z');
  EXPECT_THROW(trhsm_meta2stub(tooLong.c_str(), 1, nullptr, 0), KoException);
}

struct Refusal {
  const char* name;
  void (*damage)(std::vector<char>*);
  const char* message;
};

TEST(StubRecordDecode, RefusalsLogTheirReason) {
  const Refusal cases[] = {
      {"first byte zero", [](std::vector<char>* r) { (*r)[0] = 0; }, "Invalid NULL input passed."},
      {"signature", [](std::vector<char>* r) { (*r)[3] = 'x'; },
       "Invalid stub signature 0x56535478420a0eaf (should have been 0x56535455420a0eaf)"},
      {"version", [](std::vector<char>* r) { (*r)[8] = 2; },
       "Invalid stub version 2 (should have been 1)"},
      {"too short", [](std::vector<char>* r) { trhsm::EncodeFixed16BE(r->data() + 9, 25); },
       "Stub data is too short (25 instead of at least 26)"},
      {"crc", [](std::vector<char>* r) { (*r)[22] ^= 1; },
       "Stub data is corrupt: invalid CRC32 0xc9f8698e instead of 0x"},
      {"empty metadata length",
       [](std::vector<char>* r) {
         trhsm::EncodeFixed16BE(r->data() + 19, 0);
         FixCrc(r);
       },
       "Stub data contains invalid metadata length 0"},
      {"metadata length beyond record",
       [](std::vector<char>* r) {
         trhsm::EncodeFixed16BE(r->data() + 19, 4);
         FixCrc(r);
       },
       "Stub data contains invalid metadata length 4"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> record = Encode("abc", 5);
    c.damage(&record);
    LogCapture log;
    Decoded d = Decode(record, 64);
    EXPECT_FALSE(d.ok);
    EXPECT_TRUE(log.Contains(c.message)) << log.Text();
    EXPECT_TRUE(log.Contains("trhsm_stub2meta")) << log.Text();
    EXPECT_EQ(d.length, -7);
    EXPECT_EQ(d.value, -7);
    EXPECT_EQ(d.metadata, std::string(64, 'X'));

    LogCapture quiet;
    EXPECT_FALSE(Decode(record, 64, true).ok);
    EXPECT_EQ(quiet.Text(), "");
  }
}

TEST(StubRecordDecode, EmptyMetadataRecordIsRefused) {
  std::vector<char> record = Encode("", 5);
  ASSERT_EQ(record.size(), 26u);
  LogCapture log;
  EXPECT_FALSE(Decode(record).ok);
  EXPECT_TRUE(log.Contains("Stub data contains invalid metadata length 0")) << log.Text();
}

}  // namespace
