// The stub record codec. The input is taken three ways: as a stub file's bytes (GetStubReparseData),
// as a record for trhsm_stub2meta (as many bytes as the record's length field claims, in an
// allocation of their own), and as one mode byte, an eight-byte value and a metadata text for
// trhsm_meta2stub (a mode byte ending in three set bits stretches the text to 65505-65512 bytes,
// around the longest a record carries).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "fuzz/fuzz_check.h"
#include "stub/record_format.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;

namespace {

constexpr int64_t kMark = 0x5A5A5A5A5A5A5A5ALL;

// trhsm_meta2stub's result, or -1 when it throws (with code -1 and its message in *message).
int Encode(const std::string& text, int64_t value, char* out, int size, std::string* message) {
  try {
    return trhsm_meta2stub(text.c_str(), value, out, size);
  } catch (const KoException& e) {
    FUZZ_CHECK(e.getCode() == -1);
    *message = e.getMessage();
    return -1;
  }
}

// Decodes one record; a refusal touches no output, an accepted record round-trips.
void Decode(const std::vector<char>& record) {
  int length = -7;
  int64_t value = kMark;
  const bool ok = trhsm_stub2meta(record.data(), &length, &value, nullptr, 0, true);
  FUZZ_CHECK(trhsm_stub2meta(record.data(), nullptr, nullptr, nullptr, 0, false) == ok);
  std::vector<char> text(record.size() + 1, 'M');  // room for any metadata the record holds
  if (!ok) {
    FUZZ_CHECK(length == -7 && value == kMark);
    FUZZ_CHECK(!trhsm_stub2meta(record.data(), &length, &value, text.data(),
                                static_cast<int>(text.size()), true));
    FUZZ_CHECK(length == -7 && value == kMark && text == std::vector<char>(text.size(), 'M'));
    return;
  }
  FUZZ_CHECK(static_cast<size_t>(length) == record.size());
  // The smallest buffer taken holds the longest metadata the record could carry and a NUL; one
  // byte less is refused, writes nothing and still tells the length.
  const int room = length - sr::kOverhead + 1;
  int64_t untouched = kMark;
  FUZZ_CHECK(!trhsm_stub2meta(record.data(), &length, &untouched, text.data(), room - 1, true));
  FUZZ_CHECK(untouched == kMark && text == std::vector<char>(text.size(), 'M'));
  FUZZ_CHECK(trhsm_stub2meta(record.data(), &length, &value, text.data(), room, true));
  FUZZ_CHECK(std::strlen(text.data()) < static_cast<size_t>(room));
  FUZZ_CHECK(std::count(text.begin() + room, text.end(), 'M') == length - room + 1);
  // Decode, encode, decode: the same text and value.
  const std::string decoded(text.data());
  std::string message;
  std::vector<char> again(decoded.size() + sr::kOverhead);
  FUZZ_CHECK(Encode(decoded, value, again.data(), static_cast<int>(again.size()), &message) ==
             static_cast<int>(again.size()));
  std::vector<char> back(again.size(), 'B');
  int64_t value2 = 0;
  FUZZ_CHECK(decoded.empty() == !trhsm_stub2meta(again.data(), nullptr, &value2, back.data(),
                                                 static_cast<int>(back.size()), true));
  FUZZ_CHECK(decoded.empty() || (value2 == value && decoded == back.data()));
}

// Encodes a text; what cannot be encoded throws and writes nothing, what can decodes back.
void EncodeDecode(std::string text, int64_t value, uint8_t mode) {
  if ((mode & 7) == 7 && !text.empty()) {
    while (text.size() < 65505u + (mode >> 3) % 8) text += text;
    text.resize(65505u + (mode >> 3) % 8);
  }
  std::string message;
  const int needed = Encode(text, value, nullptr, 0, &message);
  std::vector<char> buffer(text.size() + sr::kOverhead + 8, 'E');
  if (text.size() > static_cast<size_t>(sr::kMaxMetadataLength)) {
    FUZZ_CHECK(needed == -1 && !message.empty());
    FUZZ_CHECK(Encode(text, value, buffer.data(), static_cast<int>(buffer.size()), &message) == -1);
    FUZZ_CHECK(buffer == std::vector<char>(buffer.size(), 'E'));
    return;
  }
  FUZZ_CHECK(needed == static_cast<int>(text.size()) + sr::kOverhead);
  message.clear();
  FUZZ_CHECK(Encode(text, value, buffer.data(), needed - 1, &message) == -1);
  FUZZ_CHECK(message == "Buffer for stubfile data is too small.");
  FUZZ_CHECK(buffer == std::vector<char>(buffer.size(), 'E'));
  FUZZ_CHECK(Encode(text, value, buffer.data(), needed, &message) == needed);
  FUZZ_CHECK(std::string(buffer.begin() + needed, buffer.end()) == "EEEEEEEE");
  buffer.resize(static_cast<size_t>(needed));
  if (text.empty()) {  // written, but a record without metadata is never read
    FUZZ_CHECK(!trhsm_stub2meta(buffer.data(), nullptr, nullptr, nullptr, 0, true));
    return;
  }
  Decode(buffer);
  std::string extracted;
  FUZZ_CHECK(GetStubReparseData(buffer, extracted) == (text.size() < 1024 ? 1 : 0));
  FUZZ_CHECK(text.size() >= 1024 || extracted == text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("7");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> file(data, data + size);
  std::string text = "unchanged";
  if (GetStubReparseData(file, text) == 1) {
    FUZZ_CHECK(text.size() < 1024 && text.find('\0') == text.npos);
  } else {
    FUZZ_CHECK(text == "unchanged");
  }

  // A record is read as far as its length field says, when that is at least the overhead, or else
  // to the field; a first byte 0 is refused at once.
  size_t needed = size > 0 && data[0] == 0 ? 1 : sr::kLengthOffset + 2;
  if (size >= needed && needed > 1) {
    const size_t declared = trhsm::DecodeFixed16BE(file.data() + sr::kLengthOffset);
    if (declared >= static_cast<size_t>(sr::kOverhead)) needed = declared;
  }
  if (size > 0 && size >= needed) Decode(std::vector<char>(file.begin(), file.begin() + needed));

  uint8_t head[9] = {};
  std::memcpy(head, data, std::min(size, sizeof head));
  if (size > sizeof head) text = std::string(file.data() + 9, strnlen(file.data() + 9, size - 9));
  if (size <= sizeof head) text.clear();
  EncodeDecode(text, static_cast<int64_t>(trhsm::DecodeFixed64BE(reinterpret_cast<char*>(head + 1))),
               head[0]);
  return 0;
}
