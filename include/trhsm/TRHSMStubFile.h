// Stub files: the self-checking binary stub record that replaces an archived file's content.
#ifndef TRHSM_TRHSMSTUBFILE_H_
#define TRHSM_TRHSMSTUBFILE_H_

#include <cstdint>

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

#endif  // TRHSM_TRHSMSTUBFILE_H_
