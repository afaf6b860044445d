// The reparse-text parser without its logging, for callers (tools) that report failures their way.
#ifndef TRHSM_STUB_REPARSE_DATA_H_
#define TRHSM_STUB_REPARSE_DATA_H_

#include <string>

#include "trhsm/TRHSMStubFile.h"

namespace trhsm {

// ParseStubReparseData without the failure message: true on success; on failure the fields
// filled before the failing part stay set. Reads nothing outside `text`. Reentrant.
[[nodiscard]] bool ParseReparseText(const std::string& text, ReparseData* data);

}  // namespace trhsm

#endif  // TRHSM_STUB_REPARSE_DATA_H_
