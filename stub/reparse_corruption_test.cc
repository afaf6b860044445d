// Reparse texts, as the database reader writes them, damaged by every single-bit flip and every
// cut: a damaged text either fails with its message or parses into fields that the damaged bytes
// hold at their places, and nothing outside the text is read (ASan).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "collect/reparse_text.h"
#include "testing/corruption.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

using trhsm_test::BitFlip;
using trhsm_test::LogCapture;
using trhsm_test::LoggedMessages;
using trhsm_test::ScopedEnv;

constexpr char kGuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr uint64_t kNow = 1700000000;

// What a part of a text is parsed into.
enum class Part {
  kF0,
  kF1,
  kF2,
  kF3,
  kF4,
  kLayout,
  kGuidLength,
  kGuid,
  kSkipped,
  kAppId,
  kAppGuid,
  kExtra,
  kTime,
  kSeparator
};

struct Piece {
  Part part;
  std::string text;
};

// A text written by the library's writer, cut into the pieces the grammar names.
struct Text {
  const char* name;
  std::string bytes;
  std::vector<Piece> pieces;
  ReparseData parsed;  // what the undamaged text parses into

  // The part byte `at` belongs to, and the piece's text and first byte.
  const Piece& PieceAt(size_t at, size_t* start) const {
    size_t p = 0;
    for (const Piece& piece : pieces) {
      if (at < p + piece.text.size()) {
        *start = p;
        return piece;
      }
      p += piece.text.size();
    }
    ADD_FAILURE() << "byte " << at << " outside the text";
    return pieces.back();
  }
};

Text TurboText() {
  Text t;
  t.name = "layout 2, as turbo mode writes it";
  trhsm::collect::BuildTurboReparse(t.bytes, 3, "7", "8", "9", kGuid, 15, "AG-GUID", "4096", kNow);
  const std::string c = ":";
  t.pieces = {{Part::kF0, "1"},
              {Part::kSeparator, c},
              {Part::kF1, "3"},
              {Part::kSeparator, c},
              {Part::kF2, "7"},
              {Part::kSeparator, c},
              {Part::kF3, "8"},
              {Part::kSeparator, c},
              {Part::kF4, "9"},
              {Part::kSeparator, c},
              {Part::kLayout, "2"},
              {Part::kSeparator, c},
              {Part::kGuidLength, "36"},
              {Part::kSeparator, c},
              {Part::kGuid, kGuid},
              {Part::kSkipped, c},
              {Part::kAppId, "15"},
              {Part::kSeparator, c},
              {Part::kAppGuid, "AG-GUID"},
              {Part::kSeparator, c},
              {Part::kExtra, "4096"},
              {Part::kSeparator, "|"},
              {Part::kTime, "1700000000"}};
  t.parsed.field0 = 1;
  t.parsed.field1 = 3;
  t.parsed.field2 = 7;
  t.parsed.field3 = 8;
  t.parsed.field4 = 9;
  t.parsed.layout = 2;
  t.parsed.stubGUID = kGuid;
  t.parsed.appId = 15;
  t.parsed.appGUID = "AG-GUID";
  t.parsed.extraNumber = 4096;
  t.parsed.reparseTime = static_cast<int64_t>(kNow);
  return t;
}

Text NormalText() {
  Text t;
  t.name = "layout 1, as normal mode writes it";
  trhsm::collect::BuildNormalReparse(t.bytes, 3, "7", "8", "9", "/data/plain", kNow);
  const std::string c = ":";
  t.pieces = {{Part::kF0, "1"},          {Part::kSeparator, c},      {Part::kF1, "3"},
              {Part::kSeparator, c},     {Part::kF2, "7"},           {Part::kSeparator, c},
              {Part::kF3, "8"},          {Part::kSeparator, c},      {Part::kF4, "9"},
              {Part::kSeparator, c},     {Part::kLayout, "1"},       {Part::kSeparator, c},
              {Part::kGuidLength, "11"}, {Part::kSeparator, c},      {Part::kGuid, "/data/plain"},
              {Part::kSkipped, "|"},     {Part::kTime, "1700000000"}};
  t.parsed.field1 = 3;
  t.parsed.field2 = 7;
  t.parsed.field3 = 8;
  t.parsed.field4 = 9;
  t.parsed.stubGUID = "/data/plain";
  t.parsed.reparseTime = static_cast<int64_t>(kNow);
  return t;
}

void ExpectSame(const ReparseData& got, const ReparseData& want) {
  EXPECT_EQ(got.field0, want.field0);
  EXPECT_EQ(got.field1, want.field1);
  EXPECT_EQ(got.field2, want.field2);
  EXPECT_EQ(got.field3, want.field3);
  EXPECT_EQ(got.field4, want.field4);
  EXPECT_EQ(got.layout, want.layout);
  EXPECT_EQ(got.stubGUID, want.stubGUID);
  EXPECT_EQ(got.appId, want.appId);
  EXPECT_EQ(got.appGUID, want.appGUID);
  EXPECT_EQ(got.reparseTime, want.reparseTime);
  EXPECT_EQ(got.extraNumber, want.extraNumber);
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t found; (found = text.find(separator, start)) != std::string::npos;
       start = found + 1) {
    parts.push_back(text.substr(start, found - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

long Long(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }
long long LongLong(const std::string& s) { return std::strtoll(s.c_str(), nullptr, 10); }

// The fields `text` holds at the places its own separators give them, filled into `start`; none
// when the text does not have one of the three forms.
std::optional<ReparseData> FieldsAtTheirPlaces(const std::string& text, ReparseData start) {
  const std::vector<std::string> fields = SplitAt(text, ':');
  if (fields.size() != 5 && fields.size() < 8) return std::nullopt;
  ReparseData d = start;
  d.field0 = static_cast<int32_t>(Long(fields[0]));
  d.field1 = Long(fields[1]);
  d.field2 = Long(fields[2]);
  d.field3 = Long(fields[3]);
  d.field4 = LongLong(fields[4]);
  if (fields.size() == 5) return d;
  d.layout = static_cast<int32_t>(Long(fields[5]));
  const long long guidLength = LongLong(fields[6]);
  // The GUID starts after the seventh ":", looked for up to the first line feed.
  size_t colon = 0;
  int seen = 0;
  for (; colon < text.size() && text[colon] != '\n'; ++colon) {
    if (text[colon] == ':' && ++seen == 7) break;
  }
  if (seen < 7 || guidLength < 0 ||
      colon + 1 + static_cast<unsigned long long>(guidLength) + 1 > text.size()) {
    return std::nullopt;
  }
  d.stubGUID = text.substr(colon + 1, static_cast<size_t>(guidLength));
  const std::vector<std::string> bars =
      SplitAt(text.substr(colon + 1 + static_cast<size_t>(guidLength) + 1), '|');
  if (d.layout == 1 && bars.size() == 1) {
    d.reparseTime = LongLong(bars[0]);
    return d;
  }
  if (bars.size() != 2) return std::nullopt;
  d.reparseTime = LongLong(bars[1]);
  const std::vector<std::string> app = SplitAt(bars[0], ':');
  if (app.size() != 1 && app.size() != 3) return std::nullopt;
  d.appId = Long(app[0]);
  if (app.size() == 3) {
    d.appGUID = app[1];
    d.extraNumber = LongLong(app[2]);
  }
  return d;
}

// The log shows line feeds and carriage returns escaped, and a text up to its first NUL.
std::string AsLogged(const std::string& text) {
  std::string out;
  for (char c : std::string(text.c_str())) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

// A start record whose every field differs from anything a text above holds, so a field the parse
// does not reach shows.
ReparseData Marked() {
  ReparseData d;
  d.field0 = -11;
  d.field1 = -12;
  d.field2 = -13;
  d.field3 = -14;
  d.field4 = -15;
  d.layout = -16;
  d.stubGUID = "stub?";
  d.appId = -17;
  d.appGUID = "app?";
  d.reparseTime = -18;
  d.extraNumber = -19;
  return d;
}

// Parses a damaged text and checks the result against what its bytes hold: success exactly when
// the text has one of the forms, every field read from its place, and the failure message
// otherwise. Returns the parse result.
bool ExpectParsedAtPlaces(const std::string& text, LogCapture& log) {
  ReparseData got = Marked();
  log.Clear();
  const int rc = ParseStubReparseData(text, got);
  const std::optional<ReparseData> want = FieldsAtTheirPlaces(text, Marked());
  EXPECT_EQ(rc == 1, want.has_value()) << "text '" << AsLogged(text) << "'";
  if (rc == 1 && want) {
    ExpectSame(got, *want);
    EXPECT_EQ(log.Text(), "");
  } else if (rc != 1) {
    const std::vector<std::string> expected = {"DEBUG5 ParseReparseData: Parsing '" +
                                               AsLogged(text) + "' failed"};
    EXPECT_EQ(LoggedMessages(log.Text()), expected);
  }
  return rc == 1;
}

// Bytes that change how the text divides when they appear outside the GUID.
bool Divides(char c) { return c == ':' || c == '|' || c == '\n'; }

// What the undamaged parse becomes when one byte of a piece that does not divide the text changes:
// only the piece's own field, read from its damaged bytes. False when the flip changes the division
// of the text, so no single field takes it.
bool ExpectedForFlip(const Text& t, const std::string& damaged, BitFlip flip, ReparseData* want,
                     bool* parses) {
  size_t start = 0;
  const Piece& piece = t.PieceAt(flip.at, &start);
  const char now = damaged[flip.at];
  if (piece.part == Part::kSeparator || piece.part == Part::kGuidLength) return false;
  if (piece.part != Part::kGuid && piece.part != Part::kSkipped && Divides(now)) return false;
  const std::string value = damaged.substr(start, piece.text.size());
  *want = t.parsed;
  *parses = true;
  switch (piece.part) {
    case Part::kF0:
      want->field0 = static_cast<int32_t>(Long(value));
      break;
    case Part::kF1:
      want->field1 = Long(value);
      break;
    case Part::kF2:
      want->field2 = Long(value);
      break;
    case Part::kF3:
      want->field3 = Long(value);
      break;
    case Part::kF4:
      want->field4 = LongLong(value);
      break;
    case Part::kLayout:
      want->layout = static_cast<int32_t>(Long(value));
      // A layout-1 text has no application part: under any other layout it cannot parse.
      if (t.parsed.layout == 1) *parses = false;
      break;
    case Part::kGuid:
      want->stubGUID = value;
      break;
    case Part::kSkipped:
      break;  // skipped whatever it holds
    case Part::kAppId:
      want->appId = Long(value);
      break;
    case Part::kAppGuid:
      want->appGUID = value;
      break;
    case Part::kExtra:
      want->extraNumber = LongLong(value);
      break;
    case Part::kTime:
      want->reparseTime = LongLong(value);
      break;
    case Part::kGuidLength:
    case Part::kSeparator:
      return false;
  }
  return true;
}

class ReparseCorruption : public ::testing::Test {
 protected:
  ReparseCorruption() : level_("KO_LOG_LEVEL", "5") {}

 private:
  ScopedEnv level_;
};

TEST_F(ReparseCorruption, EveryFlipParsesFromTheDamagedBytesOrFails) {
  LogCapture log;
  for (const Text& t : {TurboText(), NormalText()}) {
    SCOPED_TRACE(t.name);
    ASSERT_TRUE(ExpectParsedAtPlaces(t.bytes, log));
    int exact = 0;
    trhsm_test::ForEachBitFlip(t.bytes, [&](const std::string& damaged, BitFlip flip) {
      SCOPED_TRACE(flip.Describe(t.bytes));
      const bool parsed = ExpectParsedAtPlaces(damaged, log);
      ReparseData want;
      bool parses = false;
      if (!ExpectedForFlip(t, damaged, flip, &want, &parses)) return;
      ++exact;
      EXPECT_EQ(parsed, parses);
      if (!parses) return;
      ReparseData got;
      ASSERT_EQ(ParseStubReparseData(damaged, got), 1);
      ExpectSame(got, want);
    });
    // Most flips leave the division alone and have a hand-derived result.
    EXPECT_GT(exact, static_cast<int>(t.bytes.size()) * 8 / 2);
  }
}

TEST_F(ReparseCorruption, EveryCutFailsOrKeepsAPrefixOfOneNumber) {
  LogCapture log;
  for (const Text& t : {TurboText(), NormalText()}) {
    SCOPED_TRACE(t.name);
    // The cut keeps the short form while it ends after the fourth ":" and before the fifth.
    size_t fourthColon = 0;
    for (int seen = 0; seen < 4; ++fourthColon) {
      if (t.bytes[fourthColon] == ':') ++seen;
    }
    const size_t fifthColon = t.bytes.find(':', fourthColon);
    const size_t timeStart = t.bytes.rfind('|') + 1;
    trhsm_test::ForEachTruncation(t.bytes, [&](const std::string& prefix) {
      const size_t n = prefix.size();
      SCOPED_TRACE("cut to " + std::to_string(n) + " bytes");
      const bool parsed = ExpectParsedAtPlaces(prefix, log);
      // Only a cut inside the fifth number (the short form) or inside the time leaves a text that
      // parses; it keeps the digits before the cut.
      const bool inFifth = n >= fourthColon && n <= fifthColon;
      EXPECT_EQ(parsed, inFifth || n >= timeStart);
      if (!parsed) return;
      ReparseData got = Marked();
      ASSERT_EQ(ParseStubReparseData(prefix, got), 1);
      ReparseData want = inFifth ? Marked() : t.parsed;
      if (inFifth) {
        want.field0 = t.parsed.field0;
        want.field1 = t.parsed.field1;
        want.field2 = t.parsed.field2;
        want.field3 = t.parsed.field3;
        want.field4 = LongLong(prefix.substr(fourthColon));
      } else {
        want.reparseTime = LongLong(prefix.substr(timeStart));
        if (t.parsed.layout == 1) {
          want.appId = -17;
          want.appGUID = "app?";
          want.extraNumber = -19;
        }
      }
      ExpectSame(got, want);
    });
  }
}

std::vector<char> Stub(const std::string& text) {
  std::vector<char> stub(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 1, nullptr, 0)));
  trhsm_meta2stub(text.c_str(), 1, stub.data(), static_cast<int>(stub.size()));
  return stub;
}

// The stub readers on a valid record carrying a damaged text (cut at a NUL byte, as the record
// carries it): the whole parse agrees with ParseStubReparseData, the application and stub GUIDs
// with its fields, and the direct read of application id and stub GUID with the bytes at their
// places.
void ExpectStubReadersAgree(const std::string& damaged, LogCapture& log) {
  const std::string text = damaged.c_str();
  std::vector<char> stub = Stub(text);

  ReparseData direct = Marked();
  ReparseData fromStub = Marked();
  const int parsed = ParseStubReparseData(text, direct);
  EXPECT_EQ(ParseStubData(stub, fromStub), parsed);
  ExpectSame(fromStub, direct);

  std::string appGUID = "a?";
  std::string stubGUID = "s?";
  ReparseData fresh;
  const int freshParsed = ParseStubReparseData(text, fresh);
  EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(stub, appGUID, stubGUID), freshParsed);
  EXPECT_EQ(appGUID, freshParsed ? fresh.appGUID : "a?");
  EXPECT_EQ(stubGUID, freshParsed ? (fresh.layout == 2 ? fresh.stubGUID : "") : "s?");

  // The seven leading numbers as scanf reads them; the damaged numbers stay within int.
  int v[7];
  long long offset = 0;
  const int read = std::sscanf(text.c_str(), "%d:%d:%d:%d:%lld:%d:%d", &v[0], &v[1], &v[2], &v[3],
                               &offset, &v[5], &v[6]);
  uint32_t appId = 99;
  stubGUID = "s?";
  log.Clear();
  const int rc = GetAppIdAndGUIDFromStubData(stub, appId, stubGUID);
  const std::vector<std::string> logged = LoggedMessages(log.Text());
  if (text.empty()) {
    // An empty text makes a record that no reader accepts.
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(logged,
              std::vector<std::string>{"DEBUG2 getAppIdFromStubData: Failed to extract metadata."});
    return;
  }
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged[0], "DEBUG2 getAppIdFromStubData: Metadata passes id [" + AsLogged(text) + "].");
  if (read < 7) {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(logged.back(), "DEBUG2 getAppIdFromStubData: AppID not found in metadata.");
  } else if (v[5] != 2) {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(logged.back(),
              "DEBUG2 getAppIdFromStubData: The supplied stub dose not have GUID in it.");
  } else {
    size_t colon = 0;
    int seen = 0;
    for (; colon < text.size() && text[colon] != '\n' && text[colon] != '|'; ++colon) {
      if (text[colon] == ':' && ++seen == 7) break;
    }
    const long long length = v[6];
    if (seen < 7) {
      EXPECT_EQ(rc, 1);  // no GUID part: nothing to give
    } else if (length < 0 ||
               colon + 1 + static_cast<unsigned long long>(length) + 1 > text.size()) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(logged.back(), "DEBUG2 getAppIdFromStubData: Stub GUID length " +
                                   std::to_string(length) + " runs outside the metadata.");
    } else {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(stubGUID, text.substr(colon + 1, static_cast<size_t>(length)));
      EXPECT_EQ(appId, static_cast<uint32_t>(Long(text.substr(colon + 1 + length + 1))));
      return;
    }
  }
  EXPECT_EQ(appId, 99u);
  EXPECT_EQ(stubGUID, "s?");
}

TEST_F(ReparseCorruption, StubReadersAgreeOnEveryFlipAndCut) {
  ScopedEnv level("KO_LOG_LEVEL", "2");
  LogCapture log;
  for (const Text& t : {TurboText(), NormalText()}) {
    SCOPED_TRACE(t.name);
    trhsm_test::ForEachBitFlip(t.bytes, [&](const std::string& damaged, BitFlip flip) {
      SCOPED_TRACE(flip.Describe(t.bytes));
      ExpectStubReadersAgree(damaged, log);
    });
    trhsm_test::ForEachTruncation(t.bytes, [&](const std::string& prefix) {
      SCOPED_TRACE("cut to " + std::to_string(prefix.size()) + " bytes");
      ExpectStubReadersAgree(prefix, log);
    });
  }
}

TEST_F(ReparseCorruption, UndamagedTextsGiveTheWritersFields) {
  // The base the flips are measured against, checked by hand.
  const Text turbo = TurboText();
  EXPECT_EQ(turbo.bytes, std::string("1:3:7:8:9:2:36:") + kGuid + ":15:AG-GUID:4096|1700000000");
  const Text normal = NormalText();
  EXPECT_EQ(normal.bytes, "1:3:7:8:9:1:11:/data/plain|1700000000");
  for (const Text* t : {&turbo, &normal}) {
    std::string joined;
    for (const Piece& p : t->pieces) joined += p.text;
    EXPECT_EQ(joined, t->bytes);
    ReparseData got;
    ASSERT_EQ(ParseStubReparseData(t->bytes, got), 1);
    ExpectSame(got, t->parsed);
  }
  std::vector<char> stub = Stub(turbo.bytes);
  uint32_t appId = 0;
  std::string stubGUID;
  ASSERT_EQ(GetAppIdAndGUIDFromStubData(stub, appId, stubGUID), 1);
  EXPECT_EQ(appId, 15u);
  EXPECT_EQ(stubGUID, kGuid);
}

}  // namespace
