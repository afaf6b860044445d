// Reparse data: extraction from stub records, the parser's forms and their messages. Numbers, cut
// or lying input and the readers' agreement are the fuzz target's (reparse_text).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "stub/reparse_data.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;

const char kExtractFailed[] = "DEBUG2 GetStubReparseData: Failed to extract metadata.";
const char kFull[] = "1:124:7:3:4096:2:4:ab:c:33:some-guid:77|1700000000";

// A stub record for `text`, in a vector exactly as long as the record.
std::vector<char> Stub(const std::string& text) {
  std::vector<char> stub(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 9, nullptr, 0)));
  trhsm_meta2stub(text.c_str(), 9, stub.data(), static_cast<int>(stub.size()));
  return stub;
}

// A record whose every field differs from the defaults and from what the tests parse.
ReparseData Sentinel() {
  return ReparseData{-10, -11, -12, -13, -14, -15, "old stub", -16, "old app", -17, -18};
}

std::string Describe(const ReparseData& d) {
  return std::to_string(d.field0) + " " + std::to_string(d.field1) + " " +
         std::to_string(d.field2) + " " + std::to_string(d.field3) + " " +
         std::to_string(d.field4) + " " + std::to_string(d.layout) + " [" + d.stubGUID + "] " +
         std::to_string(d.appId) + " [" + d.appGUID + "] " + std::to_string(d.reparseTime) + " " +
         std::to_string(d.extraNumber);
}

int LineCount(const LogCapture& log) {
  std::string text = log.Text();
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class ReparseTest : public ::testing::Test {
 protected:
  ScopedEnv level_{"KO_LOG_LEVEL", "9"};
  LogCapture log_;
};

TEST_F(ReparseTest, DefaultsAndExtraction) {
  EXPECT_EQ(Describe(ReparseData()), "1 0 0 0 0 1 [] 0 [] 0 0");
  std::vector<char> stub = Stub(kFull);
  std::string text = "before";
  EXPECT_EQ(GetStubReparseData(stub, text), 1);
  EXPECT_EQ(text, kFull);
  // Bytes after the record are not part of it.
  stub.push_back('x');
  EXPECT_EQ(GetStubReparseData(stub, text), 1);
  EXPECT_EQ(log_.Text(), "");
}

// Each text parsed into a Sentinel(): the result, the record after it, and the failure message.
TEST_F(ReparseTest, ParseFormsAndFailures) {
  struct Case {
    const char* text;
    int result;
    const char* record;
  };
  const Case cases[] = {
      // The short form sets only the five numbers.
      {"1:2:3:4:5", 1, "1 2 3 4 5 -15 [old stub] -16 [old app] -17 -18"},
      // Other counts of the first split change nothing.
      {"", 0, "-10 -11 -12 -13 -14 -15 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:6", 0, "-10 -11 -12 -13 -14 -15 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:4", 0, "-10 -11 -12 -13 -14 -15 [old stub] -16 [old app] -17 -18"},
      // The GUID is taken by its length: a ":" or "|" inside it does not end it.
      {kFull, 1, "1 124 7 3 4096 2 [ab:c] 33 [some-guid] 1700000000 77"},
      {"1:2:3:4:5:2:3:g|h:8|99", 1, "1 2 3 4 5 2 [g|h] 8 [old app] 99 -18"},
      // Failures after the leading part keep what was filled before them.
      {"1:2:3:4:5:2:4:ab:c:33:x|1700000000", 0, "1 2 3 4 5 2 [ab:c] -16 [old app] 1700000000 -18"},
      {"1:2:3:4:5:2:4:abcd:33", 0, "1 2 3 4 5 2 [abcd] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:1:a:1|2|3", 0, "1 2 3 4 5 2 [a] -16 [old app] -17 -18"},
      // Layout 1: a single trailing number after the skipped byte, whatever that byte is.
      {"1:2:3:4:5:1:8:/x/a:b.c|1700000001", 1,
       "1 2 3 4 5 1 [/x/a:b.c] -16 [old app] 1700000001 -18"},
      {"1:2:3:4:5:1:0:123", 1, "1 2 3 4 5 1 [] -16 [old app] 23 -18"},
      {"1:2:3:4:5:1:2:ab|", 1, "1 2 3 4 5 1 [ab] -16 [old app] 0 -18"},
      // A line feed ends the search for the GUID early: the GUID starts after it.
      {"1:2:3:4:5:1:3\n:x:5|9", 1, "1 2 3 4 5 1 [:x:] 0 [old app] 9 -18"},
      // GUID lengths that leave no room for the GUID and the byte after it.
      {"1:2:3:4:5:2:-1:ab:33|5", 0, "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:-9223372036854775808:ab:33|5", 0,
       "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:9:ab:33|5", 0, "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:2:99999999999999999999:ab:33|5", 0,
       "1 2 3 4 5 2 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:1:2:ab", 0, "1 2 3 4 5 1 [old stub] -16 [old app] -17 -18"},
      {"1:2:3:4:5:1:0:", 0, "1 2 3 4 5 1 [old stub] -16 [old app] -17 -18"},
  };
  for (const Case& c : cases) {
    ReparseData d = Sentinel();
    log_.Clear();
    EXPECT_EQ(ParseStubReparseData(c.text, d), c.result) << c.text;
    EXPECT_EQ(Describe(d), c.record) << c.text;
    const std::string failed =
        std::string("DEBUG5 ParseReparseData: Parsing '") + c.text + "' failed";
    EXPECT_EQ(log_.Contains(failed), c.result == 0) << c.text << "\n" << log_.Text();
    EXPECT_EQ(LineCount(log_), 1 - c.result) << c.text;
  }
  // The message is a level-5 diagnostic.
  ScopedEnv quieter("KO_LOG_LEVEL", "4");
  log_.Clear();
  ReparseData d;
  EXPECT_EQ(ParseStubReparseData("1:2", d), 0);
  EXPECT_EQ(log_.Text(), "");
}

TEST_F(ReparseTest, AppGuidAndStubGuid) {
  std::string app = "a", guid = "g";
  std::vector<char> stub = Stub(kFull);
  EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, app, guid), 1);
  EXPECT_EQ(app, "some-guid");
  EXPECT_EQ(guid, "ab:c");

  // Layout 1: no stub GUID; the application GUID only from a three-part application part.
  stub = Stub("1:2:3:4:5:1:4:file|app:x:1|5");
  EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, app, guid), 1);
  EXPECT_EQ(app, "x");
  EXPECT_EQ(guid, "");
  app = guid = "keep";
  stub = Stub("1:2:3:4:5:1:4:file|5");
  EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, app, guid), 1);
  EXPECT_EQ(app, "");
  EXPECT_EQ(guid, "");

  app = guid = "keep";
  stub = Stub("1:2:3:4:5:2:4:abcd:33");
  EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, app, guid), 0);
  EXPECT_EQ(app + guid, "keepkeep");
}

TEST_F(ReparseTest, AppIdAndGuidStraightFromTheText) {
  struct Case {
    const char* text;
    int result;
    uint32_t appId;  // 7 and "keep": left unchanged
    const char* guid;
    const char* message;  // logged after "Metadata passes id [...]."
  };
  const Case cases[] = {
      {kFull, 1, 33, "ab:c", nullptr},
      {"1:2:3:4:5:2:2:xy:4000000000|1", 1, 4000000000u, "xy", nullptr},
      // The text ends, or meets "|" or a line feed, before the GUID part: nothing to give.
      {"1:2:3:4:5:2:0", 1, 7, "keep", nullptr},
      {"1:2:3:4:5:2:4|ab:c:33", 1, 7, "keep", nullptr},
      {"1:2:3:4:5:2:4\n:ab:c:3|1", 1, 7, "keep", nullptr},
      {"1:2:3:4:5:2", 0, 7, "keep", "AppID not found in metadata."},
      {"1:2:x:4:5:2:4:ab:c:33|1", 0, 7, "keep", "AppID not found in metadata."},
      {"1:2:3:4:5:2:+:ab:c:33|1", 0, 7, "keep", "AppID not found in metadata."},
      {"1:2:3:4:5:1:4:ab:c:33|1", 0, 7, "keep", "The supplied stub dose not have GUID in it."},
      {"1:2:3:4:5:2:-2:ab:c:33|1", 0, 7, "keep", "Stub GUID length -2 runs outside the metadata."},
      {"1:2:3:4:5:2:10:ab:c:33|1", 0, 7, "keep", "Stub GUID length 10 runs outside the metadata."},
      {"1:2:3:4:5:2:2:ab", 0, 7, "keep", "Stub GUID length 2 runs outside the metadata."},
  };
  for (const Case& c : cases) {
    uint32_t appId = 7;
    std::string guid = "keep";
    std::vector<char> stub = Stub(c.text);
    log_.Clear();
    EXPECT_EQ(GetAppIdAndGUIDFromStubData(stub, appId, guid), c.result) << c.text;
    EXPECT_EQ(appId, c.appId) << c.text;
    EXPECT_EQ(guid, c.guid) << c.text;
    const std::string prefix = "DEBUG2 getAppIdFromStubData: ";
    // The log writes a line feed as a backslash and an "n".
    std::string shown;
    for (const char* p = c.text; *p != '\0'; ++p)
      shown += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    EXPECT_TRUE(log_.Contains(prefix + "Metadata passes id [" + shown + "].")) << log_.Text();
    if (c.message != nullptr) {
      EXPECT_TRUE(log_.Contains(prefix + c.message)) << c.text << "\n" << log_.Text();
    }
    EXPECT_EQ(LineCount(log_), c.message != nullptr ? 2 : 1) << log_.Text();
  }
}

}  // namespace
