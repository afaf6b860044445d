// The stub record decoder on records that get past its CRC: the mutator repairs the CRC, and
// mostly the signature, version and both length fields, after each mutation, so the fuzzer works on
// what the decoder does with records it accepts. Every accepted record must encode back to itself
// (or, for one the encoder never writes, to the canonical record of the same text and value).
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "foundation/coding.h"
#include "fuzz/stub_record_check.h"
#include "stub/record_format.h"

namespace sr = trhsm::stub_record;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  if (size < static_cast<size_t>(sr::kOverhead)) return size;
  std::minstd_rand random(seed);
  auto often = [&random]() { return random() % 8 != 0; };  // seven times in eight
  char* record = reinterpret_cast<char*>(data);
  if (often()) trhsm::EncodeFixed64BE(record + sr::kSignatureOffset, sr::kSignature);
  if (often()) record[sr::kVersionOffset] = static_cast<char>(sr::kVersion);
  size_t length = trhsm::DecodeFixed16BE(record + sr::kLengthOffset);
  if (often() || length > size || length < static_cast<size_t>(sr::kOverhead)) {
    length = size < static_cast<size_t>(sr::kMaxRecordLength) ? size : sr::kMaxRecordLength;
    trhsm::EncodeFixed16BE(record + sr::kLengthOffset, static_cast<uint16_t>(length));
  }
  if (often()) {
    const size_t room = length - sr::kOverhead;
    trhsm::EncodeFixed16BE(record + sr::kMetaLengthOffset, static_cast<uint16_t>(room));
    if (often()) record[sr::kMetadataOffset + room] = '\0';
  }
  if (random() % 32 != 0) {
    trhsm::EncodeFixed32LE(record + length - sr::kCrcSize, trhsm_fuzz::RecordCrc(record, length));
  }
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> record;
  if (!trhsm_fuzz::RecordBytes(data, size, &record)) return 0;
  trhsm_fuzz::CheckDecode(record);
  return 0;
}
