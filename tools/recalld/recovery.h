// Start-up recovery: settles every recall that a killed daemon left unfinished (its intent record
// is still in the state folder), before any event is watched.
//   - the file holds the stub record at offset 0: the data was never whole; the stub is put back
//     whole (record, size, times);
//   - otherwise the file is finished when its bytes match the archived copy's checksum (the data's
//     first bytes were written; the modification time and the identity record may be missing),
//     and put back to its stub when they do not;
//   - a file no longer there, or another file at its name, is left alone.
// Then the intent goes. Each settled intent gives one log line.
#ifndef TRHSM_TOOLS_RECALLD_RECOVERY_H_
#define TRHSM_TOOLS_RECALLD_RECOVERY_H_

#include <string>

#include "tools/recalld/log.h"

namespace recalld {

// Returns the number of intents that could not be settled (they stay for the next start).
size_t RecoverAll(const std::string& state, const std::string& archive, Log* log);

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_RECOVERY_H_
