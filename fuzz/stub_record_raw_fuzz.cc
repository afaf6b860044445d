// The stub record decoder on any bytes, plainly mutated: almost every input is refused, and each
// refusal must leave the caller's outputs alone and read nothing beyond the declared record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/stub_record_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::LogEverythingToNowhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The metadata layer takes the whole input as a stub file's bytes, however short or long it is
  // and whatever its length field claims, and must stay inside it.
  std::vector<char> file(data, data + size);
  std::string text = "unchanged";
  const int extracted = GetStubReparseData(file, text);
  if (extracted == 1) {
    TRHSM_FUZZ_CHECK(text.size() < 1024 && text.find('\0') == std::string::npos);
  } else {
    TRHSM_FUZZ_CHECK(extracted == 0 && text == "unchanged");
  }

  std::vector<char> record;
  if (!trhsm_fuzz::RecordBytes(data, size, &record)) return 0;
  const bool decoded = trhsm_fuzz::CheckDecode(record);
  // Not quiet: a refusal also writes its message, with the same result.
  TRHSM_FUZZ_CHECK(trhsm_stub2meta(record.data(), nullptr, nullptr, nullptr, 0, false) == decoded);
  // Extraction is the decoder with a 1024-byte buffer: it succeeds only for records that decode.
  if (extracted == 1) TRHSM_FUZZ_CHECK(decoded);
  return 0;
}
