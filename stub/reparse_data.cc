// Stub metadata: taking the reparse text out of a stub record and parsing it (layout in
// stub/reparse_format.h).
#include "stub/reparse_data.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "stub/conversions.h"
#include "stub/record_format.h"
#include "stub/reparse_format.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;
namespace rt = trhsm::reparse_text;

namespace {

constexpr const char kExtractTag[] = "GetStubReparseData";
constexpr const char kParseTag[] = "ParseReparseData";
constexpr const char kAppIdTag[] = "getAppIdFromStubData";
constexpr int kExtractLevel = 2;
constexpr int kParseLevel = 5;
constexpr int kAppIdLevel = 2;

constexpr const char kExtractFailed[] = "Failed to extract metadata.";

// atoi(3) and atol(3) as glibc computes them (strtol, truncated to int for atoi), but defined for
// any digits: the C functions leave out-of-range values undefined.
int32_t AtoI(const char* text) { return static_cast<int32_t>(std::strtol(text, nullptr, 10)); }
int64_t AtoL(const char* text) { return static_cast<int64_t>(std::strtol(text, nullptr, 10)); }
int32_t AtoI(const std::string& text) { return AtoI(text.c_str()); }
int64_t AtoL(const std::string& text) { return AtoL(text.c_str()); }
int64_t AtoLL(const std::string& text) { return trhsm::trhsm_atoll(text.c_str()); }

// Decodes the record in `stub` and sets `text` to its metadata; false when the vector holds no
// valid record or the metadata does not fit the text buffer.
bool ExtractText(const std::vector<char>& stub, std::string* text) {
  // The decoder reads up to the record length the record declares; make sure the vector holds
  // the bytes that declare it and then that many bytes, whatever they claim.
  if (stub.size() < sr::kLengthOffset + 2) return false;
  if (stub.size() < trhsm::DecodeFixed16BE(stub.data() + sr::kLengthOffset)) return false;
  char buffer[rt::kStubTextBufferSize];
  if (!trhsm_stub2meta(stub.data(), nullptr, nullptr, buffer, static_cast<int>(sizeof buffer),
                       true)) {
    return false;
  }
  text->assign(buffer);
  return true;
}

// Index of the seventh ":" of `text`, which ends the GUID-length part. The scan stops early at a
// line feed (and at "|" when `stopAtBar`), returning that byte's index, or at the end of the text,
// returning text.size().
size_t FindGuidStart(const std::string& text, bool stopAtBar) {
  int seen = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':' && ++seen == rt::kLeadingFields) break;
    if (c == '\n' || (stopAtBar && c == '|')) break;
  }
  return i;
}

// True when the `length` GUID bytes after index `at` and the one separator byte after them lie
// inside a text of `size` bytes.
bool GuidFits(size_t at, long long length, size_t size) {
  if (length < 0 || at >= size) return false;
  return static_cast<unsigned long long>(length) < size - at - 1;
}

// Reads the text's start as sscanf(text, "%d:%d:%d:%d:%lld:%d:%d") does and returns the number of
// values matched, keeping the sixth (the layout) and the seventh (the GUID length). Each number
// converts as glibc's scanf converts it (strtol or strtoll, an int truncated from the long), which
// stays defined for numbers out of range, where sscanf's behaviour is not.
int ReadLeadingValues(const char* text, int* layout, int* guidLength) {
  const char* p = text;
  for (int i = 0; i < rt::kLeadingFields; ++i) {
    if (i > 0) {
      if (*p != ':') return i;
      ++p;
    }
    char* end = nullptr;
    const long long value = i == 4 ? std::strtoll(p, &end, 10) : std::strtol(p, &end, 10);
    if (end == p) return i;
    if (i == 5) *layout = static_cast<int>(value);
    if (i == 6) *guidLength = static_cast<int>(value);
    p = end;
  }
  return rt::kLeadingFields;
}

}  // namespace

namespace trhsm {

bool ParseReparseText(const std::string& text, ReparseData* data) {
  // One list serves both splits; each replaces what the other left.
  std::vector<std::string> tokens;
  const int count = FXString::Split(text, rt::kFieldSeparator, tokens, 0);
  if (count != rt::kShortFormFields && count <= rt::kLeadingFields) return false;
  data->field0 = AtoI(tokens[0]);
  data->field1 = AtoL(tokens[1]);
  data->field2 = AtoL(tokens[2]);
  data->field3 = AtoL(tokens[3]);
  data->field4 = AtoLL(tokens[4]);
  if (count == rt::kShortFormFields) return true;

  data->layout = AtoI(tokens[5]);
  const long long guidLength = AtoLL(tokens[6]);
  // The GUID is taken by its length, so a ":" inside it does not end it; the length comes from
  // the text and may point anywhere.
  const size_t at = FindGuidStart(text, false);
  if (!GuidFits(at, guidLength, text.size())) return false;
  const size_t guidSize = static_cast<size_t>(guidLength);
  data->stubGUID.assign(text, at + 1, guidSize);
  // The byte after the GUID is skipped whatever it is.
  const size_t rest = at + 1 + guidSize + 1;
  FXString::Split(text.substr(rest), rt::kTimeSeparator, tokens, 0);

  if (data->layout == rt::kLayoutWithFileName && tokens.size() == 1) {
    data->reparseTime = AtoLL(tokens[0]);
    return true;
  }
  if (tokens.size() != 2) return false;
  data->reparseTime = AtoLL(tokens[1]);
  std::vector<std::string> parts;
  const int partCount = FXString::Split(tokens[0], rt::kFieldSeparator, parts, 0);
  if (partCount == 1) {
    data->appId = AtoL(parts[0]);
    return true;
  }
  if (partCount != 3) return false;
  data->appId = AtoL(parts[0]);
  data->appGUID = parts[1];
  data->extraNumber = AtoLL(parts[2]);
  return true;
}

}  // namespace trhsm

int GetStubReparseData(std::vector<char>& stub, std::string& text) {
  if (!ExtractText(stub, &text)) {
    EvDebug log;
    log.DebugLvl(kExtractTag, kExtractLevel, "%s", kExtractFailed);
    return 0;
  }
  return 1;
}

int ParseStubReparseData(const std::string& text, ReparseData& data) {
  if (!trhsm::ParseReparseText(text, &data)) {
    EvDebug log;
    log.DebugLvl(kParseTag, kParseLevel, "Parsing '%s' failed", text.c_str());
    return 0;
  }
  return 1;
}

int ParseStubData(std::vector<char>& stub, ReparseData& data) {
  std::string text;
  if (!GetStubReparseData(stub, text)) return 0;
  return ParseStubReparseData(text, data);
}

int GetAppGUIDAndStubGUIDFromStubData(std::vector<char>& stub, std::string& appGUID,
                                      std::string& stubGUID) {
  std::string text;
  if (!GetStubReparseData(stub, text)) return 0;
  ReparseData parsed;
  if (!ParseStubReparseData(text, parsed)) return 0;
  appGUID = parsed.appGUID;
  if (parsed.layout == rt::kLayoutWithStubGuid) {
    stubGUID = parsed.stubGUID;
  } else {
    stubGUID.clear();
  }
  return 1;
}

int GetAppIdAndGUIDFromStubData(std::vector<char>& stub, uint32_t& appId, std::string& stubGUID) {
  EvDebug log;
  std::string text;
  if (!ExtractText(stub, &text)) {
    log.DebugLvl(kAppIdTag, kAppIdLevel, "%s", kExtractFailed);
    return 0;
  }
  log.DebugLvl(kAppIdTag, kAppIdLevel, "Metadata passes id [%s].", text.c_str());
  int layout = 0;
  int guidLength = 0;
  if (ReadLeadingValues(text.c_str(), &layout, &guidLength) < rt::kLeadingFields) {
    log.DebugLvl(kAppIdTag, kAppIdLevel, "AppID not found in metadata.");
    return 0;
  }
  if (layout != rt::kLayoutWithStubGuid) {
    log.DebugLvl(kAppIdTag, kAppIdLevel, "The supplied stub dose not have GUID in it.");
    return 0;
  }
  const size_t at = FindGuidStart(text, true);
  // A text that ends before its GUID part carries neither value: success with nothing to give.
  if (at == text.size() || text[at] != ':') return 1;
  if (!GuidFits(at, guidLength, text.size())) {
    log.DebugLvl(kAppIdTag, kAppIdLevel, "Stub GUID length %d runs outside the metadata.",
                 guidLength);
    return 0;
  }
  const size_t guidSize = static_cast<size_t>(guidLength);
  // The application id is the leading number after the GUID and its separator byte; atoi stops
  // at the ":" or "|" that ends it.
  appId = static_cast<uint32_t>(AtoI(text.c_str() + at + 1 + guidSize + 1));
  stubGUID.assign(text, at + 1, guidSize);
  return 1;
}
