// The checks shared by the stub record decoder targets: one input is decoded every way a caller
// can ask, and each answer is held against what the record's bytes say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/coding.h"
#include "fuzz/fuzz_check.h"
#include "stub/record_codec.h"
#include "stub/record_format.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/TRHSMStubFile.h"

namespace trhsm_fuzz {

namespace sr = trhsm::stub_record;

inline uint32_t RecordCrc(const char* record, size_t recordLength) {
  uint32_t crc = sr::kCrcSeed;
  ko_crc32(record, recordLength - sr::kCrcSize, &crc);
  return crc;
}

// The bytes the decoder may read of `data`: the first byte alone when it is 0, else the 11 bytes up
// to the length field, or the whole declared record when that is long enough to be read. False when
// the input holds fewer bytes than that, which the decoder's contract rules out.
inline bool RecordBytes(const uint8_t* data, size_t size, std::vector<char>* record) {
  if (size == 0) return false;
  size_t needed = 1;
  if (data[0] != 0) {
    needed = sr::kLengthOffset + 2;
    if (size < needed) return false;
    const size_t declared = trhsm::DecodeFixed16BE(reinterpret_cast<const char*>(data) + 9);
    if (declared >= static_cast<size_t>(sr::kOverhead)) needed = declared;
    if (size < needed) return false;
  }
  // Exactly that many bytes in an allocation of their own: ASan sees any read beyond them.
  record->assign(data, data + needed);
  return true;
}

// Decodes `record` with and without a metadata buffer and with buffers either side of the size the
// record needs; checks every answer against the record's fields and that a refusal leaves all
// outputs alone. Returns true when the record decodes.
inline bool CheckDecode(const std::vector<char>& record) {
  const char* stub = record.data();
  constexpr int64_t kValueMark = 0x5A5A5A5A5A5A5A5ALL;
  constexpr int kLengthMark = -77;

  int length = kLengthMark;
  int64_t value = kValueMark;
  const bool ok = trhsm_stub2meta(stub, &length, &value, nullptr, 0, true);
  const trhsm::StubCheck check = trhsm::CheckStubRecord(stub, false, 0);
  TRHSM_FUZZ_CHECK(ok == (check.refusal == trhsm::StubRefusal::kNone));
  TRHSM_FUZZ_CHECK(trhsm::DescribeStubRefusal(check).empty() == ok);
  if (!ok) {
    TRHSM_FUZZ_CHECK(length == kLengthMark && value == kValueMark);
    // A metadata buffer larger than any metadata of the record cannot make it pass, nor be
    // written to.
    const size_t declared = record.size() > sr::kLengthOffset + 1
                                ? trhsm::DecodeFixed16BE(stub + sr::kLengthOffset)
                                : 0;
    std::vector<char> buffer(declared + 1, 'M');
    const std::vector<char> before = buffer;
    length = kLengthMark;
    TRHSM_FUZZ_CHECK(!trhsm_stub2meta(stub, &length, &value, buffer.data(),
                                      static_cast<int>(buffer.size()), true));
    TRHSM_FUZZ_CHECK(buffer == before && value == kValueMark);
    TRHSM_FUZZ_CHECK(length == kLengthMark);
    return false;
  }

  // Accepted: the outputs are the record's own fields, and the record is whole.
  const size_t recordLength = trhsm::DecodeFixed16BE(stub + sr::kLengthOffset);
  TRHSM_FUZZ_CHECK(static_cast<size_t>(length) == recordLength && recordLength == record.size());
  TRHSM_FUZZ_CHECK(value == static_cast<int64_t>(trhsm::DecodeFixed64BE(stub + sr::kValueOffset)));
  TRHSM_FUZZ_CHECK(trhsm::DecodeFixed64BE(stub) == sr::kSignature);
  TRHSM_FUZZ_CHECK(static_cast<uint8_t>(stub[sr::kVersionOffset]) == sr::kVersion);
  TRHSM_FUZZ_CHECK(trhsm::DecodeFixed32LE(stub + recordLength - sr::kCrcSize) ==
                   RecordCrc(stub, recordLength));
  const size_t metaLength = trhsm::DecodeFixed16BE(stub + sr::kMetaLengthOffset);
  TRHSM_FUZZ_CHECK(metaLength > 0 && metaLength + sr::kOverhead <= recordLength);

  // The smallest buffer that passes holds the longest metadata the record could carry and its
  // terminator; the copy fills the metadata and its terminator and nothing after them.
  const size_t room = recordLength - sr::kOverhead;
  std::vector<char> buffer(room + 1 + 8, 'M');
  length = kLengthMark;
  TRHSM_FUZZ_CHECK(
      trhsm_stub2meta(stub, &length, &value, buffer.data(), static_cast<int>(room + 1), true));
  TRHSM_FUZZ_CHECK(static_cast<size_t>(length) == recordLength);
  TRHSM_FUZZ_CHECK(std::memcmp(buffer.data(), stub + sr::kMetadataOffset, metaLength) == 0);
  TRHSM_FUZZ_CHECK(buffer[metaLength] == '\0');
  for (size_t i = metaLength + 1; i < buffer.size(); ++i) TRHSM_FUZZ_CHECK(buffer[i] == 'M');

  // One byte less is refused, writes nothing, and still tells the length needed.
  std::vector<char> small(room + 1, 'S');
  length = kLengthMark;
  int64_t untouched = kValueMark;
  TRHSM_FUZZ_CHECK(
      !trhsm_stub2meta(stub, &length, &untouched, small.data(), static_cast<int>(room), true));
  TRHSM_FUZZ_CHECK(static_cast<size_t>(length) == recordLength && untouched == kValueMark);
  for (char c : small) TRHSM_FUZZ_CHECK(c == 'S');

  // Encoding what came out gives the record back. The decoder also takes records that the
  // encoder never writes (padding after a shorter metadata, any terminator byte, a NUL inside
  // the metadata); for those the re-encoded record is the canonical one of the text the caller
  // sees, and it decodes to that same text and value.
  const size_t textLength = std::strlen(buffer.data());
  const bool canonical = metaLength == room && stub[sr::kMetadataOffset + metaLength] == '\0' &&
                         textLength == metaLength;
  const int needed = trhsm_meta2stub(buffer.data(), value, nullptr, 0);
  TRHSM_FUZZ_CHECK(static_cast<size_t>(needed) == textLength + sr::kOverhead);
  std::vector<char> again(static_cast<size_t>(needed));
  TRHSM_FUZZ_CHECK(trhsm_meta2stub(buffer.data(), value, again.data(), needed) == needed);
  if (canonical) {
    TRHSM_FUZZ_CHECK(again == record);
  } else if (textLength > 0) {
    std::vector<char> text(textLength + 1);
    int64_t value2 = 0;
    TRHSM_FUZZ_CHECK(trhsm_stub2meta(again.data(), nullptr, &value2, text.data(),
                                     static_cast<int>(text.size()), true));
    TRHSM_FUZZ_CHECK(value2 == value &&
                     std::memcmp(text.data(), buffer.data(), textLength + 1) == 0);
  }
  return true;
}

}  // namespace trhsm_fuzz
