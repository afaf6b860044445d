// The stub record encoder: any metadata text and value must come back unchanged from the decoder,
// and metadata a record cannot carry must be refused by the exception alone, with nothing written.
//
// Input: one mode byte, eight bytes of value (big-endian), then the metadata text up to the first
// NUL. A mode byte whose low three bits are set repeats the text to a length around the longest a
// record carries (65505 to 65512 bytes, chosen by the mode byte), which no plain input is long
// enough to reach.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/coding.h"
#include "fuzz/stub_record_check.h"
#include "stub/record_format.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;

namespace {

// Calls the encoder, returning its result or -1 when it throws; a throw must carry code -1.
int Encode(const std::string& metadata, int64_t value, char* buffer, int bufferSize,
           std::string* message) {
  try {
    return trhsm_meta2stub(metadata.c_str(), value, buffer, bufferSize);
  } catch (const KoException& e) {
    TRHSM_FUZZ_CHECK(e.getCode() == -1 && e.getFunction() == "trhsm_meta2stub");
    *message = e.getMessage();
    return -1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t head[9] = {};
  for (size_t i = 0; i < sizeof head && i < size; ++i) head[i] = data[i];
  const uint8_t mode = head[0];
  const int64_t value =
      static_cast<int64_t>(trhsm::DecodeFixed64BE(reinterpret_cast<const char*>(head + 1)));
  std::string metadata;
  if (size > sizeof head) {
    const char* text = reinterpret_cast<const char*>(data + sizeof head);
    metadata.assign(text, strnlen(text, size - sizeof head));
  }
  if ((mode & 7) == 7 && !metadata.empty()) {
    const size_t target = 65505 + (mode >> 3) % 8;
    std::string stretched = metadata;
    while (stretched.size() < target) stretched += stretched;
    stretched.resize(target);
    metadata.swap(stretched);
  }

  std::string message;
  const int needed = Encode(metadata, value, nullptr, 0, &message);
  if (metadata.size() > static_cast<size_t>(sr::kMaxMetadataLength)) {
    // Too long for the 16-bit length fields: refused whatever the buffer, and nothing written.
    TRHSM_FUZZ_CHECK(needed == -1 && !message.empty());
    std::vector<char> buffer(metadata.size() + sr::kOverhead, 'B');
    TRHSM_FUZZ_CHECK(
        Encode(metadata, value, buffer.data(), static_cast<int>(buffer.size()), &message) == -1);
    for (char c : buffer) TRHSM_FUZZ_CHECK(c == 'B');
    return 0;
  }
  TRHSM_FUZZ_CHECK(needed >= 0 && static_cast<size_t>(needed) == metadata.size() + sr::kOverhead);

  // One byte short: the exception with its message, and the buffer untouched.
  std::vector<char> shortBuffer(static_cast<size_t>(needed), 'S');
  message.clear();
  TRHSM_FUZZ_CHECK(Encode(metadata, value, shortBuffer.data(), needed - 1, &message) == -1);
  TRHSM_FUZZ_CHECK(message == "Buffer for stubfile data is too small.");
  for (char c : shortBuffer) TRHSM_FUZZ_CHECK(c == 'S');

  // Exactly the size needed, inside a larger buffer: the record and not a byte more.
  std::vector<char> buffer(static_cast<size_t>(needed) + 8, 'E');
  TRHSM_FUZZ_CHECK(Encode(metadata, value, buffer.data(), needed, &message) == needed);
  for (size_t i = static_cast<size_t>(needed); i < buffer.size(); ++i) {
    TRHSM_FUZZ_CHECK(buffer[i] == 'E');
  }
  const std::vector<char> record(buffer.begin(), buffer.begin() + needed);

  // The decoder gives back the text and the value; the record's fields agree with its bytes.
  TRHSM_FUZZ_CHECK(trhsm::DecodeFixed16BE(record.data() + sr::kLengthOffset) == needed);
  TRHSM_FUZZ_CHECK(trhsm::DecodeFixed16BE(record.data() + sr::kMetaLengthOffset) ==
                   metadata.size());
  TRHSM_FUZZ_CHECK(record[sr::kMetadataOffset + metadata.size()] == '\0');
  std::vector<char> text(metadata.size() + 1, 'T');
  int length = 0;
  int64_t decodedValue = 0;
  const bool ok = trhsm_stub2meta(record.data(), &length, &decodedValue, text.data(),
                                  static_cast<int>(text.size()), true);
  if (metadata.empty()) {
    // A record without metadata is written but never accepted.
    TRHSM_FUZZ_CHECK(!ok);
    return 0;
  }
  TRHSM_FUZZ_CHECK(ok && length == needed && decodedValue == value);
  TRHSM_FUZZ_CHECK(std::string(text.data()) == metadata);
  trhsm_fuzz::CheckDecode(record);

  // The metadata layer takes texts shorter than 1024 bytes out of the stub file.
  std::vector<char> file = record;
  std::string extracted;
  const int got = GetStubReparseData(file, extracted);
  TRHSM_FUZZ_CHECK(got == (metadata.size() < 1024 ? 1 : 0));
  if (got == 1) TRHSM_FUZZ_CHECK(extracted == metadata);
  return 0;
}
