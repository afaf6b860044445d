// Stub files: the self-checking binary stub record that replaces an archived file's content.
#ifndef TRHSM_TRHSMSTUBFILE_H_
#define TRHSM_TRHSMSTUBFILE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "trhsm/trhsm_export.h"

// Encodes one stub record carrying `metadata` (NUL-terminated text, at most 65509 bytes) and
// `value` into `buffer`.
// With a null buffer, writes nothing and returns the record length the metadata needs
// (strlen(metadata) + 26). Otherwise writes the record at the start of the buffer and returns its
// length.
// Throws KoException (code -1), writing nothing, when the buffer is smaller than the record
// ("Buffer for stubfile data is too small."), when the metadata is longer than a record can carry,
// or when metadata is null.
// Reentrant; allocates nothing.
TRHSM_EXPORT int trhsm_meta2stub(const char* metadata, int64_t value, char* buffer, int bufferSize);

// Verifies the stub record at `stub` and takes it apart.
// REQUIRES: `stub` holds the whole record its record-length field declares (at most 65535 bytes);
// nothing beyond that is read.
// On success copies the metadata, NUL-terminated, into `metadata` (when not null; it must hold more
// than the metadata length), stores the record length and value through the pointers that are not
// null, and returns true. On failure returns false after logging the reason through EvDebug::Error
// (nothing is logged when `quiet`), and leaves every output as it was, except that a metadata
// buffer too small for the record still gets the record length stored, so the caller learns the
// size needed. Reentrant; allocates nothing.
TRHSM_EXPORT bool trhsm_stub2meta(const char* stub, int* recordLength, int64_t* value,
                                  char* metadata, int metadataSize, bool quiet);

// A parsed reparse text, the metadata a stub record carries:
//   field0:field1:field2:field3:field4:layout:guidLength:GUID:appId[:appGUID:extraNumber]|reparseTime
// (layout 1 puts the file name in the GUID part and ends with one byte and a single number).
// A plain, copyable value owned by the caller.
struct ReparseData {
  int32_t field0 = 1;
  int64_t field1 = 0;
  int64_t field2 = 0;  // archive group id
  int64_t field3 = 0;  // archive file id
  int64_t field4 = 0;  // archive file offset
  int32_t layout = 1;  // 2: the GUID part holds the stub GUID
  std::string stubGUID;
  int64_t appId = 0;
  std::string appGUID;  // application type GUID
  int64_t reparseTime = 0;
  int64_t extraNumber = 0;  // the archived file's size
};

// Takes the reparse text out of the stub record held in `stub` (the stub file's bytes).
// Returns 1 and sets `text`; returns 0, leaving `text` as it was and logging "Failed to extract
// metadata." (DebugLvl 2), when the vector is not a whole valid record or its text is 1024 bytes
// or longer. Never reads past the vector. Reentrant.
TRHSM_EXPORT int GetStubReparseData(std::vector<char>& stub, std::string& text);

// Parses `text` into `data` field by field; fields the text does not reach keep their values.
// Accepts the five-number short form and the layout-1 and layout-2 full forms. Returns 1, or 0
// after logging "Parsing '<text>' failed" (DebugLvl 5); on failure the fields filled before the
// failing part stay set. A GUID length that is negative or leaves no room for the GUID and the byte
// after it fails the parse. Reentrant.
TRHSM_EXPORT int ParseStubReparseData(const std::string& text, ReparseData& data);

// GetStubReparseData, then ParseStubReparseData into `data` (which is not reset first).
// Returns 1, or 0 when either fails. Reentrant.
TRHSM_EXPORT int ParseStubData(std::vector<char>& stub, ReparseData& data);

// Parses the stub's reparse text into a fresh ReparseData and returns 1, setting `appGUID` to its
// application GUID and `stubGUID` to its stub GUID when its layout is 2 (else to ""). Returns 0,
// leaving both outputs as they were, when extraction or parsing fails. Reentrant.
TRHSM_EXPORT int GetAppGUIDAndStubGUIDFromStubData(std::vector<char>& stub, std::string& appGUID,
                                                   std::string& stubGUID);

// Reads the application id and the stub GUID straight from the stub's layout-2 reparse text.
// Returns 1 with both set; returns 1 with both unchanged when the text ends (or meets a line feed
// or "|") before the GUID part. Returns 0, outputs unchanged, when the metadata cannot be
// extracted, its seven leading numbers do not read, its layout is not 2, or its GUID length runs
// outside the text; each failure is logged at DebugLvl 2. Reentrant.
TRHSM_EXPORT int GetAppIdAndGUIDFromStubData(std::vector<char>& stub, uint32_t& appId,
                                             std::string& stubGUID);

#endif  // TRHSM_TRHSMSTUBFILE_H_
