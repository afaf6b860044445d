// Verification of stub records with the reason for a refusal, shared by trhsm_stub2meta and tools.
#ifndef TRHSM_STUB_RECORD_CODEC_H_
#define TRHSM_STUB_RECORD_CODEC_H_

#include <cstdint>
#include <string>

namespace trhsm {

enum class StubRefusal {
  kNone,
  kNullInput,
  kSignature,
  kVersion,
  kTooShort,
  kBufferTooSmall,
  kCrc,
  kMetadataLength,
};

// What CheckStubRecord found; the fields a refusal names are filled up to the failed test.
struct StubCheck {
  StubRefusal refusal = StubRefusal::kNone;
  uint64_t signature = 0;
  int version = 0;
  int recordLength = 0;
  int64_t value = 0;
  int metadataLength = 0;
  int metadataSize = 0;
  uint32_t storedCrc = 0;
  uint32_t computedCrc = 0;
  const char* metadata = nullptr;  // points into the record; metadataLength bytes
};

// Runs the decoder's tests in order on the record at `stub`; `metadataSize` takes part only when
// `wantsMetadata` (a metadata buffer of that size is to be filled).
// REQUIRES: `stub` is null or holds the whole record its length field declares (11 bytes at least
// when the first byte is not 0).
StubCheck CheckStubRecord(const char* stub, bool wantsMetadata, int metadataSize);

// The decoder's message for a refusal; empty for kNone.
std::string DescribeStubRefusal(const StubCheck& check);

}  // namespace trhsm

#endif  // TRHSM_STUB_RECORD_CODEC_H_
