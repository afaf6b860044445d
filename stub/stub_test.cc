// Stub records and reparse text: exact bytes, limits, refusals, messages (round trips: fuzz/).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

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

// What encoding into `size` bytes (-2: no buffer) throws, "" for nothing; refusals write nothing.
std::string EncodeError(const char* metadata, int size) {
  std::vector<char> buffer(70000, 'Z');
  try {
    trhsm_meta2stub(metadata, 1, size == -2 ? nullptr : buffer.data(), size);
  } catch (const KoException& e) {
    EXPECT_EQ(e.getFunction() + std::to_string(e.getCode()), "trhsm_meta2stub-1");
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 'Z'), 70000);
    return e.getMessage();
  }
  return "";
}

void FixCrc(Record* r) {  // after a change, so that the check behind the CRC's is reached
  uint32_t crc = 0xFFFFFFFFu;
  ko_crc32(r->data(), r->size() - 4, &crc);
  trhsm::EncodeFixed32LE(r->data() + r->size() - 4, crc);
}

// A decoder's refusal sets nothing, except the record length when only the buffer is too small.
TEST(StubRecord, ExampleBytesLimitsAndRefusals) {
  const char expected[] =
      "VSTUB\n\x0e\xaf\x01\0\x1d\0\0\0\0\0\0\0\x05\0\x03"
      "abc\0\x8e\x69\xf8\xc9";
  EXPECT_EQ(Encode("abc"), Record(expected, expected + 29));
  const std::string tooLong(65510, 'm'),
      small = "Buffer for stubfile data is too small.",
      longer = "Metadata is too long for a stub record (65510 bytes, at most 65509).";
  // clang-format off
  const struct { const char* metadata; int size; std::string message; } rows[] = {
      {"hello", 31, ""}, {"hello", 30, small}, {"hello", -1, small}, {nullptr, 64, "Invalid NULL metadata passed."},
      {tooLong.c_str(), 70000, longer}, {tooLong.c_str(), -2, longer}};
  const struct { void (*damage)(Record*); int size; const char* message; } cases[] = {
      {nullptr, 4, nullptr}, {nullptr, 3, "Metadata will not fit into the incoming buffer (3>3)"},
      {[](Record* r) { r->clear(); }, 64, "Invalid NULL input passed."}, {[](Record* r) { (*r)[0] = 0; }, 64, "Invalid NULL input passed."},
      {[](Record* r) { (*r)[3] = 'x'; }, 64, "Invalid stub signature 0x56535478420a0eaf (should have been 0x56535455420a0eaf)"},
      {[](Record* r) { (*r)[8] = 2; }, 64, "Invalid stub version 2 (should have been 1)"},
      {[](Record* r) { trhsm::EncodeFixed16BE(r->data() + 9, 25); }, 64, "Stub data is too short (25 instead of at least 26)"},
      {[](Record* r) { (*r)[22] ^= 1; }, 64, "Stub data is corrupt: invalid CRC32 0xc9f8698e instead of 0x"},
      {[](Record* r) { trhsm::EncodeFixed16BE(r->data() + 19, 0); FixCrc(r); }, 64, "Stub data contains invalid metadata length 0"},
      {[](Record* r) { trhsm::EncodeFixed16BE(r->data() + 19, 4); FixCrc(r); }, 64, "Stub data contains invalid metadata length 4"},
  };
  // clang-format on
  for (const auto& r : rows) EXPECT_EQ(EncodeError(r.metadata, r.size), r.message) << r.size;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message != nullptr ? c.message : "good");
    Record record = Encode("abc");
    if (c.damage != nullptr) c.damage(&record);
    for (bool quiet : {false, true}) {
      trhsm_test::LogCapture log;
      int length = -7;
      int64_t value = -7;
      std::vector<char> buffer(static_cast<size_t>(c.size) + 1, 'X');
      const bool ok = trhsm_stub2meta(record.empty() ? nullptr : record.data(), &length, &value,
                                      buffer.data(), c.size, quiet);
      buffer.back() = '\0';
      const std::string said = ok || quiet ? "" : "trhsm_stub2meta: " + std::string(c.message);
      EXPECT_EQ(ok, c.message == nullptr);
      EXPECT_TRUE(said.empty() ? log.Text().empty() : log.Contains(said)) << log.Text();
      EXPECT_EQ(std::make_pair(length, value),
                std::make_pair(ok || c.size == 3 ? 29 : -7, ok ? int64_t{5} : -7));
      EXPECT_EQ(std::string(buffer.data()), ok ? "abc" : std::string(c.size, 'X'));
    }
  }
}

const char kFull[] = "1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000";

std::string Describe(const ReparseData& d) {
  std::ostringstream s;
  s << d.field0 << ' ' << d.field1 << ' ' << d.field2 << ' ' << d.field3 << ' ' << d.field4 << ' '
    << d.layout << " [" << d.stubGUID << "] " << d.appId << " [" << d.appGUID << "] "
    << d.reparseTime << ' ' << d.extraNumber;
  return s.str();
}

// Each text parsed into a record whose every field differs: the result and the record after it.
TEST(ReparseTest, ParseFormsAppIdAndFailures) {
  trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "9");
  trhsm_test::LogCapture log_;
  auto Lines = [&log_] {
    const std::string text = log_.Text();
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };
  const char kUntouched[] = "-10 -11 -12 -13 -14 -15 [old stub] -16 [old app] -17 -18";
  // clang-format off
  const struct { const char* text; int result; const char* record; } cases[] = {
      {"1:2:3:4:5", 1, "1 2 3 4 5 -15 [old stub] -16 [old app] -17 -18"},  // the short form: five numbers
      {"", 0, kUntouched}, {"1:2:3:4:5:6", 0, kUntouched}, {"1:2:3:4:5:2:4", 0, kUntouched},
      {kFull, 1, "1 124 7 3 4096 2 [ab:c] 33 [some-guid] 1700000000 77"}, {"1:2:3:4:5:2:3:g|h:8|99", 1, "1 2 3 4 5 2 [g|h] 8 [old app] 99 -18"},  // by length: ":", "|" in a GUID
      {"1:2:3:4:5:1:8:/x/a:b.c|1700000001", 1, "1 2 3 4 5 1 [/x/a:b.c] -16 [old app] 1700000001 -18"},
      {"1:2:3:4:5:1:0:123", 1, "1 2 3 4 5 1 [] -16 [old app] 23 -18"}, {"1:2:3:4:5:1:2:ab|", 1, "1 2 3 4 5 1 [ab] -16 [old app] 0 -18"},
      {"1:2:3:4:5:1:3\n:x:5|9", 1, "1 2 3 4 5 1 [:x:] 0 [old app] 9 -18"},  // a line feed: the GUID starts after it
      {"1:2:3:4:5:1:4:file|app:x:1|5", 1, "1 2 3 4 5 1 [file] 0 [x] 5 1"},  // an application part
      // Failures after the leading part keep what was filled before them.
      {"1:2:3:4:5:2:4:ab:c:33:x|1700000000", 0, "1 2 3 4 5 2 [ab:c] -16 [old app] 1700000000 -18"},
      {"1:2:3:4:5:2:4:abcd:33", 0, "1 2 3 4 5 2 [abcd] -16 [old app] -17 -18"}, {"1:2:3:4:5:2:1:a:1|2|3", 0, "1 2 3 4 5 2 [a] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:-1:ab:33|5", 0, "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"}, {"1:2:3:4:5:2:9:ab:33|5", 0, "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:1:2:ab", 0, "1 2 3 4 5 1 [old stub] -16 [old app] -17 -18"},
  };
  const struct { const char* text; const char* got; const char* message; } appIds[] = {
      {kFull, "1 33/ab:c", nullptr}, {"1:2:3:4:5:2:2:xy:4000000000|1", "1 4000000000/xy", nullptr},
      // The text ends, or meets "|" or a line feed, before the GUID part: nothing to give.
      {"1:2:3:4:5:2:0", "1 7/keep", nullptr}, {"1:2:3:4:5:2:4|ab:c:33", "1 7/keep", nullptr}, {"1:2:3:4:5:2:4\n:ab:c:3|1", "1 7/keep", nullptr},
      {"1:2:3:4:5:2", "0 7/keep", "AppID not found in metadata."}, {"1:2:x:4:5:2:4:ab:c:33|1", "0 7/keep", "AppID not found in metadata."},
      {"1:2:3:4:5:1:4:ab:c:33|1", "0 7/keep", "The supplied stub dose not have GUID in it."},
      {"1:2:3:4:5:2:-2:ab:c:33|1", "0 7/keep", "Stub GUID length -2 runs outside the metadata."},
      {"1:2:3:4:5:2:10:ab:c:33|1", "0 7/keep", "Stub GUID length 10 runs outside the metadata."},
      {"1:2:3:4:5:2:2:ab", "0 7/keep", "Stub GUID length 2 runs outside the metadata."},
  };
  // clang-format on
  for (const auto& c : cases) {
    ReparseData d{-10, -11, -12, -13, -14, -15, "old stub", -16, "old app", -17, -18};
    log_.Clear();
    EXPECT_EQ(ParseStubReparseData(c.text, d), c.result) << c.text;
    EXPECT_EQ(Describe(d), c.record) << c.text;
    const std::string failed =
        std::string("DEBUG5 ParseReparseData: Parsing '") + c.text + "' failed";
    EXPECT_EQ(std::make_pair(log_.Contains(failed), Lines()),
              std::make_pair(c.result == 0, 1 - c.result))
        << c.text;
  }
  const std::string prefix = "DEBUG2 getAppIdFromStubData: ";
  uint32_t appId = 7;
  std::string guid = "keep";
  for (const auto& c : appIds) {
    std::string shown = c.text;  // the log writes a line feed as "\n"
    Record stub = Encode(c.text);
    log_.Clear();
    const int got = GetAppIdAndGUIDFromStubData(stub, appId, guid);
    EXPECT_EQ(std::to_string(got) + " " + std::to_string(appId) + "/" + guid, c.got) << c.text;
    appId = 7, guid = "keep";
    if (size_t at = shown.find('\n'); at != std::string::npos) shown.replace(at, 1, "\\n");
    EXPECT_TRUE(log_.Contains(prefix + "Metadata passes id [" + shown + "].")) << log_.Text();
    EXPECT_TRUE(c.message == nullptr ? Lines() == 1
                                     : Lines() == 2 && log_.Contains(prefix + c.message))
        << log_.Text();
  }
  // The readers take the whole record only: bytes after it are not part of it, one short fails.
  Record stub = Encode(kFull);
  std::string text;
  ReparseData d;
  stub.push_back('x');
  log_.Clear();
  EXPECT_EQ(GetStubReparseData(stub, text) + ParseStubData(stub, d), 2);
  EXPECT_EQ(text + " " + std::to_string(d.reparseTime) + log_.Text(),
            kFull + std::string(" 1700000000"));
  stub.resize(stub.size() - 2);
  EXPECT_EQ(GetStubReparseData(stub, text) + ParseStubData(stub, d) +
                GetAppIdAndGUIDFromStubData(stub, appId, guid),
            0);
  EXPECT_EQ(Lines(), 3);
  EXPECT_TRUE(log_.Contains("DEBUG2 GetStubReparseData: Failed to extract metadata.") &&
              log_.Contains("DEBUG2 getAppIdFromStubData: Failed to extract metadata."));
}

}  // namespace
