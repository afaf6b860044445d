// The stub record codec (byte 0 even) and the reparse text readers (odd).
#include <tuple>

#include "foundation/coding.h"
#include "fuzz/fuzz_check.h"
#include "stub/record_format.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

static const int kLogs = setenv("KO_LOG_LEVEL", "7", 1);

namespace sr = trhsm::stub_record;

bool Marked(const std::vector<char>& v, size_t from) {
  return std::count(v.begin() + from, v.end(), 'M') == static_cast<long>(v.size() - from);
}

int Encode(const std::string& text, int64_t value, std::vector<char>* out, size_t size) try {
  return trhsm_meta2stub(text.c_str(), value, out ? out->data() : nullptr, static_cast<int>(size));
} catch (const KoException& e) {
  return e.getCode();
}

void RoundTrip(const std::string& text, int64_t value) {  // a byte short: refused, none written
  std::vector<char> record(text.size() + sr::kOverhead + 8, 'M'), back(record.size());
  const int needed = Encode(text, value, nullptr, 0);
  FUZZ_CHECK(needed == static_cast<int>(record.size()) - 8 &&
             Encode(text, value, &record, needed - 1) == -1 && Marked(record, 0));
  int64_t got = 0;
  FUZZ_CHECK(Encode(text, value, &record, needed) == needed && Marked(record, needed) &&
             trhsm_stub2meta(record.data(), nullptr, &got, back.data(), needed, true) ==
                 !text.empty() &&
             (text.empty() || (got == value && text == back.data())));
}

void Decode(const std::vector<char>& record) {  // refused: nothing written; else a round trip
  int length = -7;
  int64_t value = -7, mark = -7;
  const bool ok = trhsm_stub2meta(record.data(), &length, &value, nullptr, 0, true);
  // A byte short of the metadata and its NUL: refused, nothing written (not quiet: logged).
  std::vector<char> text(record.size() + 1, 'M');
  const int room = ok ? length - sr::kOverhead + 1 : static_cast<int>(text.size()) + 1;
  FUZZ_CHECK(!trhsm_stub2meta(record.data(), &length, &mark, text.data(), room - 1, false) &&
             mark == -7 && Marked(text, 0) &&
             (ok ? length == static_cast<int>(record.size()) : length == -7 && value == -7));
  if (!ok) return;
  FUZZ_CHECK(trhsm_stub2meta(record.data(), nullptr, &mark, text.data(), room, true) &&
             mark == value && strnlen(text.data(), room) < static_cast<size_t>(room) &&
             Marked(text, room));
  RoundTrip(text.data(), value);
}

// A record as far as its length field says (one byte if byte 0 is 0); bytes 1-8 value, rest text.
void Record(const uint8_t* data, size_t size) {
  std::vector<char> file(data, data + size);
  size_t needed = size > 0 && data[0] == 0 ? 1 : sr::kLengthOffset + 2;
  const size_t declared =
      size >= sr::kLengthOffset + 2 ? trhsm::DecodeFixed16BE(&file[sr::kLengthOffset]) : 0;
  if (needed > 1 && declared >= static_cast<size_t>(sr::kOverhead)) needed = declared;
  if (size > 0 && size >= needed) Decode(std::vector<char>(file.begin(), file.begin() + needed));
  file.resize(std::max<size_t>(size, 10));  // zeros past the input
  RoundTrip(std::string(&file[9], strnlen(&file[9], file.size() - 9)),
            static_cast<int64_t>(trhsm::DecodeFixed64BE(&file[1])));
}

auto Fields(const ReparseData& a) {
  return std::tie(a.field0, a.field1, a.field2, a.field3, a.field4, a.layout, a.stubGUID, a.appId,
                  a.appGUID, a.reparseTime, a.extraNumber);
}

void CheckReaders(std::vector<char> stub, const std::string* carried) {
  std::string text = "mark", appGUID = "mark", stubGUID = "mark";
  const int got = GetStubReparseData(stub, text);
  FUZZ_CHECK(got == 1 ? text.size() < 1024 : got == 0 && text == "mark");
  FUZZ_CHECK(!carried || (got == (carried->size() < 1024) && (!got || text == *carried)));
  ReparseData direct, parsed, fresh;
  const int ok =
      got == 1 && ParseStubReparseData(text, parsed) == 1 && ParseStubReparseData(text, fresh);
  FUZZ_CHECK(ParseStubData(stub, direct) == ok && (!got || Fields(direct) == Fields(parsed)));
  FUZZ_CHECK(GetAppGUIDAndStubGUIDFromStubData(stub, appGUID, stubGUID) == ok);
  FUZZ_CHECK(ok ? appGUID == fresh.appGUID && stubGUID == (fresh.layout == 2 ? fresh.stubGUID : "")
                : appGUID == "mark" && stubGUID == "mark");
  uint32_t appId = 7;
  const int read = GetAppIdAndGUIDFromStubData(stub, appId, stubGUID = "mark");
  FUZZ_CHECK(read == 1 ? got == 1 && (stubGUID == "mark" || text.find(stubGUID) != text.npos)
                       : read == 0 && appId == 7 && stubGUID == "mark");
}

void Text(const uint8_t* data, size_t size) {
  const std::string text(trhsm_fuzz::Text(data, size)), carried = text.substr(0, text.find('\0'));
  ReparseData parsed;
  const int ok = ParseStubReparseData(text, parsed);  // its GUIDs are the text's own bytes
  FUZZ_CHECK((ok == 0 || ok == 1) && (!ok || (text.find(parsed.stubGUID) != text.npos &&
                                              text.find(parsed.appGUID) != text.npos)));
  if (!carried.empty() && carried.size() <= 65509) {
    std::vector<char> stub(carried.size() + 26);
    FUZZ_CHECK(trhsm_meta2stub(carried.c_str(), 7, stub.data(), stub.size()) == int(stub.size()));
    CheckReaders(stub, &carried);
  }
  CheckReaders(std::vector<char>(text.begin(), text.end()), nullptr);
}

FUZZ_PARTS(Record, Text)
