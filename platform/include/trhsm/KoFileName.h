// decodeFileName: the plain file name for a name as the backup index stores it.
#ifndef TRHSM_KOFILENAME_H_
#define TRHSM_KOFILENAME_H_

#include <string>

#include "trhsm/trhsm_platform_export.h"

// The backup index of this platform stores plain names, so the name comes back unchanged; a null
// pointer gives the empty name. Thread-safe.
TRHSM_PLATFORM_EXPORT std::string decodeFileName(const char* name);
TRHSM_PLATFORM_EXPORT std::string decodeFileName(const std::string& name);

#endif  // TRHSM_KOFILENAME_H_
