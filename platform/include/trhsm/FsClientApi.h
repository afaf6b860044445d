// The file-system client library's query of the items that one backup job stored.
#ifndef TRHSM_FSCLIENTAPI_H_
#define TRHSM_FSCLIENTAPI_H_

#include <cstdint>
#include <string>

#include "trhsm/trhsm_platform_export.h"

// Writes the items that backup job `jobId` stored, as recorded in the backup index (the registry
// value "dBACKUP_INDEX" under "Base" names it), into the file collectFolder + fileName (the two
// joined as they stand): one line per item in backup order, each ended by `recordEnd`, holding the
// columns of `columns` (names separated by ','), in that order, separated by `fieldSeparator`.
// Column names: job_id, arch_group_id, arch_file_id, arch_file_offs, file_size, full_file_name,
// mod_time, inode, and metadata-N for attribute number N (empty when the item has none;
// metadata-1613830181 is the inode in decimal). A field holding the separator, '"' or '\\' is
// written between double quotes with '"' and '\\' escaped by a backslash, so
// CZeString::Tokenize('"', '"', '\\', separator) gives it back. An item with a field that holds a
// byte of `recordEnd` cannot be written as one line: it is left out and logged.
//
// The file is written under a temporary name beside it and renamed into place only once it is
// whole and synced, so the target name never holds a partial list; an existing file is replaced.
// Returns 0 on success (an empty file when the job has no items) and -1, leaving no file behind
// and the target as it was, when the index is missing or unreadable, a column is unknown, the
// separator is not one byte other than '"' and '\\', `recordEnd` or `fileName` is empty, or the
// file cannot be written. `mediaHost`, `queryType`, `startItem`, `flags`, `filter`,
// `filterArgs`, `listSeparator` and `reserved` are accepted for the callers' sake; this index
// holds one media host's items and answers every query in full. Thread-safe.
TRHSM_PLATFORM_EXPORT int apiGetBackedUpItemsByJob(int64_t jobId, std::string collectFolder,
                                                   std::string fileName, std::string columns,
                                                   std::string mediaHost, uint32_t queryType,
                                                   uint64_t startItem, uint32_t flags,
                                                   std::string fieldSeparator, char* filter,
                                                   char* filterArgs, std::string listSeparator,
                                                   std::string recordEnd, std::string reserved);

#endif  // TRHSM_FSCLIENTAPI_H_
