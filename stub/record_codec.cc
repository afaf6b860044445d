// Encoder and verifying decoder of the stub record (layout in stub/record_format.h).
#include <cstring>

#include "foundation/coding.h"
#include "stub/record_codec.h"
#include "stub/record_format.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;

namespace {

constexpr const char kEncoder[] = "trhsm_meta2stub";
constexpr const char kDecoder[] = "trhsm_stub2meta";
constexpr const char kSourceUnit[] = "TRHSMStubFile";

uint32_t RecordCrc(const char* record, int recordLength) {
  uint32_t crc = sr::kCrcSeed;
  ko_crc32(record, static_cast<size_t>(recordLength) - sr::kCrcSize, &crc);
  return crc;
}

}  // namespace

int trhsm_meta2stub(const char* metadata, int64_t value, char* buffer, int bufferSize) {
  if (metadata == nullptr) {
    throw KoException(kEncoder, "Invalid NULL metadata passed.", kSourceUnit, __LINE__, -1);
  }
  const size_t metaLength = std::strlen(metadata);
  // The 16-bit length fields cannot describe a longer text: refuse rather than write a record
  // whose lengths disagree with its bytes.
  if (metaLength > static_cast<size_t>(sr::kMaxMetadataLength)) {
    throw KoException(kEncoder,
                      "Metadata is too long for a stub record (" + std::to_string(metaLength) +
                          " bytes, at most " + std::to_string(sr::kMaxMetadataLength) + ").",
                      kSourceUnit, __LINE__, -1);
  }
  const int recordLength = static_cast<int>(metaLength) + sr::kOverhead;
  if (buffer == nullptr) return recordLength;
  if (bufferSize < recordLength) {
    throw KoException(kEncoder, "Buffer for stubfile data is too small.", kSourceUnit, __LINE__,
                      -1);
  }

  trhsm::EncodeFixed64BE(buffer + sr::kSignatureOffset, sr::kSignature);
  buffer[sr::kVersionOffset] = static_cast<char>(sr::kVersion);
  trhsm::EncodeFixed16BE(buffer + sr::kLengthOffset, static_cast<uint16_t>(recordLength));
  trhsm::EncodeFixed64BE(buffer + sr::kValueOffset, static_cast<uint64_t>(value));
  trhsm::EncodeFixed16BE(buffer + sr::kMetaLengthOffset, static_cast<uint16_t>(metaLength));
  std::memcpy(buffer + sr::kMetadataOffset, metadata, metaLength + 1);
  trhsm::EncodeFixed32LE(buffer + recordLength - sr::kCrcSize, RecordCrc(buffer, recordLength));
  return recordLength;
}

namespace trhsm {

StubCheck CheckStubRecord(const char* stub, bool wantsMetadata, int metadataSize) {
  StubCheck c;
  c.metadataSize = metadataSize;
  if (stub == nullptr || stub[0] == '\0') {
    c.refusal = StubRefusal::kNullInput;
    return c;
  }
  c.signature = DecodeFixed64BE(stub + sr::kSignatureOffset);
  if (c.signature != sr::kSignature) {
    c.refusal = StubRefusal::kSignature;
    return c;
  }
  c.version = static_cast<unsigned char>(stub[sr::kVersionOffset]);
  if (c.version != sr::kVersion) {
    c.refusal = StubRefusal::kVersion;
    return c;
  }
  c.recordLength = DecodeFixed16BE(stub + sr::kLengthOffset);
  if (c.recordLength < sr::kOverhead) {
    c.refusal = StubRefusal::kTooShort;
    return c;
  }
  if (wantsMetadata && metadataSize <= c.recordLength - sr::kOverhead) {
    c.refusal = StubRefusal::kBufferTooSmall;
    return c;
  }
  c.storedCrc = DecodeFixed32LE(stub + c.recordLength - sr::kCrcSize);
  c.computedCrc = RecordCrc(stub, c.recordLength);
  if (c.storedCrc != c.computedCrc) {
    c.refusal = StubRefusal::kCrc;
    return c;
  }
  c.value = static_cast<int64_t>(DecodeFixed64BE(stub + sr::kValueOffset));
  c.metadataLength = DecodeFixed16BE(stub + sr::kMetaLengthOffset);
  // A length beyond the record would make the copy read past it, even though the CRC matched. A
  // caller's buffer already holds the record's metadata room (checked above), so it holds this too.
  if (c.metadataLength == 0 || c.metadataLength > c.recordLength - sr::kOverhead) {
    c.refusal = StubRefusal::kMetadataLength;
    return c;
  }
  c.metadata = stub + sr::kMetadataOffset;
  return c;
}

std::string DescribeStubRefusal(const StubCheck& c) {
  switch (c.refusal) {
    case StubRefusal::kNone:
      return std::string();
    case StubRefusal::kNullInput:
      return "Invalid NULL input passed.";
    case StubRefusal::kSignature:
      return FXString::Format("Invalid stub signature 0x%08llx (should have been 0x%08llx)",
                              static_cast<unsigned long long>(c.signature),
                              static_cast<unsigned long long>(sr::kSignature));
    case StubRefusal::kVersion:
      return FXString::Format("Invalid stub version %d (should have been %d)", c.version,
                              sr::kVersion);
    case StubRefusal::kTooShort:
      return FXString::Format("Stub data is too short (%d instead of at least %d)", c.recordLength,
                              sr::kOverhead);
    case StubRefusal::kBufferTooSmall:
      return FXString::Format("Metadata will not fit into the incoming buffer (%d>%d)",
                              c.recordLength - sr::kOverhead, c.metadataSize);
    case StubRefusal::kCrc:
      return FXString::Format("Stub data is corrupt: invalid CRC32 0x%08x instead of 0x%08x",
                              c.storedCrc, c.computedCrc);
    case StubRefusal::kMetadataLength:
      return FXString::Format("Stub data contains invalid metadata length %d", c.metadataLength);
  }
  return std::string();
}

}  // namespace trhsm

bool trhsm_stub2meta(const char* stub, int* recordLength, int64_t* value, char* metadata,
                     int metadataSize, bool quiet) {
  const trhsm::StubCheck check = trhsm::CheckStubRecord(stub, metadata != nullptr, metadataSize);
  if (check.refusal != trhsm::StubRefusal::kNone) {
    if (check.refusal == trhsm::StubRefusal::kBufferTooSmall && recordLength != nullptr) {
      *recordLength = check.recordLength;
    }
    if (!quiet) {
      EvDebug log;
      log.Error(kDecoder, "%s", trhsm::DescribeStubRefusal(check).c_str());
    }
    return false;
  }
  if (metadata != nullptr) {
    std::memcpy(metadata, check.metadata, static_cast<size_t>(check.metadataLength));
    // Terminate here: the stored terminator byte is covered by the CRC but not checked.
    metadata[check.metadataLength] = '\0';
  }
  if (recordLength != nullptr) *recordLength = check.recordLength;
  if (value != nullptr) *value = check.value;
  return true;
}
