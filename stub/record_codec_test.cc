// Stub record encoder and decoder: the exact bytes, every refusal with its message, and bounds.
// Round trips and reads past the record are the fuzz targets' (stub_record_*).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "testing/test_util.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using Record = std::vector<char>;

Record Encode(const std::string& metadata, int64_t value = 5) {
  Record r(static_cast<size_t>(trhsm_meta2stub(metadata.c_str(), value, nullptr, 0)));
  EXPECT_EQ(trhsm_meta2stub(metadata.c_str(), value, r.data(), static_cast<int>(r.size())),
            static_cast<int>(r.size()));
  return r;
}

// What encoding into a buffer of `size` bytes (none for -2) throws, "" for nothing; a refusal
// leaves the buffer alone.
std::string EncodeError(const char* metadata, int size) {
  std::vector<char> buffer(70000, 'Z');
  try {
    trhsm_meta2stub(metadata, 1, size == -2 ? nullptr : buffer.data(), size);
  } catch (const KoException& e) {
    EXPECT_EQ(e.getCode(), -1);
    EXPECT_EQ(e.getFunction(), "trhsm_meta2stub");
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 'Z'), 70000);
    return e.getMessage();
  }
  return "";
}

TEST(StubRecord, ExampleBytesAndEncoderLimits) {
  const unsigned char expected[] = {0x56, 0x53, 0x54, 0x55, 0x42, 0x0a, 0x0e, 0xaf, 0x01, 0x00,
                                    0x1d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00,
                                    0x03, 0x61, 0x62, 0x63, 0x00, 0x8e, 0x69, 0xf8, 0xc9};
  EXPECT_EQ(Encode("abc"), Record(std::begin(expected), std::end(expected)));
  const std::string longest(65509, 'm'), tooLong(65510, 'm');
  EXPECT_EQ(Encode(longest).size(), 65535u);
  const std::string tooSmall = "Buffer for stubfile data is too small.";
  const std::string tooLongMessage =
      "Metadata is too long for a stub record (65510 bytes, at most 65509).";
  const std::pair<const char*, int> rows[] = {
      {"hello", 31},        {"hello", 30}, {"hello", -1}, {nullptr, 64}, {tooLong.c_str(), 70000},
      {tooLong.c_str(), -2}};
  const std::string messages[] = {
      "", tooSmall, tooSmall, "Invalid NULL metadata passed.", tooLongMessage, tooLongMessage};
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(EncodeError(rows[i].first, rows[i].second), messages[i]) << i;
  }
}

// Recomputes the CRC after a change, so a test reaches the check behind it.
void FixCrc(Record* r) {
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(r->data(), r->size() - 4, &crc);
  trhsm::EncodeFixed32LE(r->data() + r->size() - 4, crc);
}

TEST(StubRecord, DecoderResultsAndRefusals) {
  // clang-format off
  const struct { const char* metadata; void (*damage)(Record*); int size; const char* message; } cases[] = {
      {"abc", nullptr, 4, nullptr},
      {"abc", nullptr, 3, "Metadata will not fit into the incoming buffer (3>3)"},
      {"abc", [](Record* r) { (*r)[0] = 0; }, 64, "Invalid NULL input passed."},
      {"abc", [](Record* r) { (*r)[3] = 'x'; }, 64,
       "Invalid stub signature 0x56535478420a0eaf (should have been 0x56535455420a0eaf)"},
      {"abc", [](Record* r) { (*r)[8] = 2; }, 64, "Invalid stub version 2 (should have been 1)"},
      {"abc", [](Record* r) { trhsm::EncodeFixed16BE(r->data() + 9, 25); }, 64,
       "Stub data is too short (25 instead of at least 26)"},
      {"abc", [](Record* r) { (*r)[22] ^= 1; }, 64,
       "Stub data is corrupt: invalid CRC32 0xc9f8698e instead of 0x"},
      {"", nullptr, 64, "Stub data contains invalid metadata length 0"},
      {"abc", [](Record* r) { trhsm::EncodeFixed16BE(r->data() + 19, 4); FixCrc(r); }, 64,
       "Stub data contains invalid metadata length 4"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message != nullptr ? c.message : "good");
    Record record = Encode(c.metadata);
    if (c.damage != nullptr) c.damage(&record);
    for (bool quiet : {false, true}) {
      trhsm_test::LogCapture log;
      int length = -7;
      int64_t value = -7;
      std::vector<char> buffer(static_cast<size_t>(c.size) + 1, 'X');
      const bool ok = trhsm_stub2meta(record.data(), &length, &value, buffer.data(), c.size, quiet);
      buffer.back() = '\0';
      EXPECT_EQ(ok, c.message == nullptr);
      EXPECT_EQ(log.Text().empty(), ok || quiet) << log.Text();
      if (!ok && !quiet) {
        EXPECT_PRED2(trhsm_test::Contains, log.Text(),
                     std::string("trhsm_stub2meta: ") + c.message);
      }
      // A refusal sets nothing, except the record length when only the buffer is too small.
      EXPECT_EQ(length, ok || c.size == 3 ? 29 : -7);
      EXPECT_EQ(value, ok ? 5 : -7);
      EXPECT_EQ(std::string(buffer.data()), ok ? "abc" : std::string(c.size, 'X'));
    }
  }
  int length = -7;
  trhsm_test::LogCapture log;
  EXPECT_FALSE(trhsm_stub2meta(nullptr, &length, nullptr, nullptr, 64, false));
  EXPECT_EQ(length, -7);
  EXPECT_TRUE(log.Contains("trhsm_stub2meta: Invalid NULL input passed.")) << log.Text();
}

}  // namespace
