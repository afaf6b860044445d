// The stub record codec on the input as a record (as far as its length field says, or one byte
// when byte 0 is 0), and as bytes 1-8 a value and the rest a text to encode.
#include "foundation/coding.h"
#include "fuzz/fuzz_check.h"
#include "stub/record_format.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;

namespace {

bool Marked(const std::vector<char>& v, size_t from) {
  return std::count(v.begin() + from, v.end(), 'M') == static_cast<long>(v.size() - from);
}

int Encode(const std::string& text, int64_t value, std::vector<char>* out, size_t size) try {
  return trhsm_meta2stub(text.c_str(), value, out ? out->data() : nullptr, static_cast<int>(size));
} catch (const KoException& e) {
  return e.getCode();
}

void RoundTrip(const std::string& text, int64_t value) {  // refused: nothing written
  std::vector<char> record(text.size() + sr::kOverhead + 8, 'M'), back(record.size());
  const int needed = Encode(text, value, nullptr, 0);
  const bool fits = text.size() <= static_cast<size_t>(sr::kMaxMetadataLength);
  FUZZ_CHECK(needed == (fits ? static_cast<int>(record.size()) - 8 : -1) &&
             Encode(text, value, &record, fits ? needed - 1 : record.size()) == -1 &&
             Marked(record, 0));
  if (!fits) return;
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

}  // namespace

static const int kLogs = trhsm_fuzz::QuietLogs("7");

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> file(data, data + size);
  size_t needed = size > 0 && data[0] == 0 ? 1 : sr::kLengthOffset + 2;
  const size_t declared =
      size >= sr::kLengthOffset + 2 ? trhsm::DecodeFixed16BE(&file[sr::kLengthOffset]) : 0;
  if (needed > 1 && declared >= static_cast<size_t>(sr::kOverhead)) needed = declared;
  if (size > 0 && size >= needed) Decode(std::vector<char>(file.begin(), file.begin() + needed));
  char head[9] = {};
  if (size > 0) std::memcpy(head, data, std::min(size, sizeof head));
  RoundTrip(size > 9 ? std::string(&file[9], strnlen(&file[9], size - 9)) : "",
            static_cast<int64_t>(trhsm::DecodeFixed64BE(head + 1)));
  return 0;
}
