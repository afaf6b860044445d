// The reparse text parser and the stub readers built on it. The input is the text itself; it is
// also put into a stub record (up to its first NUL) for the readers that take a stub file, and
// handed to them raw as a stub file of its own. Checks: the short form and the refused token
// counts touch exactly the fields they should; a parsed GUID is the GUID-length bytes right after
// the seventh ":" and lies inside the text with its separator byte; the stub readers agree with
// the parser; every failure leaves the caller's outputs as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

ReparseData Marked() {
  ReparseData d;
  d.field0 = -101;
  d.field1 = -102;
  d.field2 = -103;
  d.field3 = -104;
  d.field4 = -105;
  d.layout = -106;
  d.stubGUID = "stub-mark";
  d.appId = -107;
  d.appGUID = "app-mark";
  d.reparseTime = -108;
  d.extraNumber = -109;
  return d;
}

bool Same(const ReparseData& a, const ReparseData& b) {
  return a.field0 == b.field0 && a.field1 == b.field1 && a.field2 == b.field2 &&
         a.field3 == b.field3 && a.field4 == b.field4 && a.layout == b.layout &&
         a.stubGUID == b.stubGUID && a.appId == b.appId && a.appGUID == b.appGUID &&
         a.reparseTime == b.reparseTime && a.extraNumber == b.extraNumber;
}

std::vector<std::string> SplitColons(const std::string& text) {
  std::vector<std::string> tokens(1);
  for (char c : text) {
    if (c == ':') {
      tokens.emplace_back();
    } else {
      tokens.back() += c;
    }
  }
  return tokens;
}

// Index of the seventh ":", or npos when the text ends or holds a stop byte before it.
size_t SeventhColon(const std::string& text, const std::string& stops) {
  int seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ':' && ++seen == 7) return i;
    if (stops.find(text[i]) != std::string::npos) return std::string::npos;
  }
  return std::string::npos;
}

// The GUID lies right after the seventh ":" and is followed by at least one more byte.
void CheckGuidPlace(const std::string& text, size_t colon, const std::string& guid) {
  TRHSM_FUZZ_CHECK(colon != std::string::npos);
  TRHSM_FUZZ_CHECK(colon + 1 + guid.size() < text.size());
  TRHSM_FUZZ_CHECK(text.compare(colon + 1, guid.size(), guid) == 0);
}

void CheckParse(const std::string& text) {
  ReparseData parsed = Marked();
  const int ok = ParseStubReparseData(text, parsed);
  ReparseData again = Marked();
  TRHSM_FUZZ_CHECK(ParseStubReparseData(text, again) == ok && Same(parsed, again));
  TRHSM_FUZZ_CHECK(ok == 0 || ok == 1);

  const std::vector<std::string> tokens = SplitColons(text);
  const ReparseData mark = Marked();
  if (tokens.size() == 5) {
    // Exactly the five numbers, converted as strtol/strtoll convert them.
    ReparseData expected = Marked();
    expected.field0 = static_cast<int32_t>(std::strtol(tokens[0].c_str(), nullptr, 10));
    expected.field1 = std::strtol(tokens[1].c_str(), nullptr, 10);
    expected.field2 = std::strtol(tokens[2].c_str(), nullptr, 10);
    expected.field3 = std::strtol(tokens[3].c_str(), nullptr, 10);
    expected.field4 = std::strtoll(tokens[4].c_str(), nullptr, 10);
    TRHSM_FUZZ_CHECK(ok == 1 && Same(parsed, expected));
    return;
  }
  if (tokens.size() <= 7) {
    TRHSM_FUZZ_CHECK(ok == 0 && Same(parsed, mark));
    return;
  }
  if (ok == 0) return;
  // A full form: the GUID is taken by its length from after the seventh ":" (the scan also stops
  // at a line feed, whose place then stands for the colon).
  size_t colon = SeventhColon(text, "\n");
  if (colon == std::string::npos) colon = text.find('\n');
  CheckGuidPlace(text, colon, parsed.stubGUID);
  TRHSM_FUZZ_CHECK(static_cast<long long>(parsed.stubGUID.size()) ==
                   std::strtoll(tokens[6].c_str(), nullptr, 10));
  if (parsed.appGUID != mark.appGUID) {
    TRHSM_FUZZ_CHECK(parsed.appGUID.find_first_of(":|") == std::string::npos);
    TRHSM_FUZZ_CHECK(text.find(parsed.appGUID) != std::string::npos);
  }
}

// The four stub readers on one stub file; `text` is the metadata it carries when `valid`.
void CheckStubReaders(std::vector<char> stub, bool valid, const std::string& text) {
  std::string extracted = "unchanged";
  const int got = GetStubReparseData(stub, extracted);
  if (valid) {
    TRHSM_FUZZ_CHECK(got == (text.size() < 1024 ? 1 : 0));
  }
  if (got == 0) {
    TRHSM_FUZZ_CHECK(extracted == "unchanged");
  } else {
    TRHSM_FUZZ_CHECK(got == 1 && extracted.size() < 1024);
    if (valid) TRHSM_FUZZ_CHECK(extracted == text);
  }

  // ParseStubData is extraction and the parser, into a record that is not reset.
  ReparseData viaStub = Marked();
  ReparseData viaText = Marked();
  const int parsedStub = ParseStubData(stub, viaStub);
  const int parsedText = got == 1 ? ParseStubReparseData(extracted, viaText) : 0;
  TRHSM_FUZZ_CHECK(parsedStub == parsedText && Same(viaStub, viaText));

  ReparseData fresh;
  const int parsedFresh = got == 1 ? ParseStubReparseData(extracted, fresh) : 0;
  std::string appGUID = "app-mark";
  std::string stubGUID = "stub-mark";
  const int both = GetAppGUIDAndStubGUIDFromStubData(stub, appGUID, stubGUID);
  TRHSM_FUZZ_CHECK(both == parsedFresh);
  if (both == 1) {
    TRHSM_FUZZ_CHECK(appGUID == fresh.appGUID);
    TRHSM_FUZZ_CHECK(stubGUID == (fresh.layout == 2 ? fresh.stubGUID : std::string()));
  } else {
    TRHSM_FUZZ_CHECK(appGUID == "app-mark" && stubGUID == "stub-mark");
  }

  uint32_t appId = 0xA5A5A5A5u;
  stubGUID = "stub-mark";
  const int direct = GetAppIdAndGUIDFromStubData(stub, appId, stubGUID);
  TRHSM_FUZZ_CHECK(direct == 0 || direct == 1);
  if (direct == 1) TRHSM_FUZZ_CHECK(got == 1);
  const bool changed = appId != 0xA5A5A5A5u || stubGUID != "stub-mark";
  if (direct == 0 || !changed) return;
  // The GUID follows the seventh ":" met before any line feed or "|"; the application id is
  // the number after the GUID's separator byte.
  const size_t colon = SeventhColon(extracted, "\n|");
  CheckGuidPlace(extracted, colon, stubGUID);
  const size_t rest = colon + 1 + stubGUID.size() + 1;
  TRHSM_FUZZ_CHECK(appId ==
                   static_cast<uint32_t>(std::strtol(extracted.c_str() + rest, nullptr, 10)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckParse(text);

  // The text up to its first NUL is what a stub record can carry.
  const std::string carried = text.substr(0, text.find('\0'));
  if (!carried.empty() && carried.size() <= 65509) {
    std::vector<char> stub(carried.size() + 26);
    TRHSM_FUZZ_CHECK(
        trhsm_meta2stub(carried.c_str(), 7, stub.data(), static_cast<int>(stub.size())) ==
        static_cast<int>(stub.size()));
    CheckStubReaders(stub, true, carried);
  }
  CheckStubReaders(std::vector<char>(text.begin(), text.end()), false, std::string());
  return 0;
}
