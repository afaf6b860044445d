// Streams that replace a file only once they are whole: the collect-file writer and the stub-list
// conversion write into a new temporary file beside the target and rename it over the target.
#ifndef TRHSM_COLLECT_REPLACING_STREAM_H_
#define TRHSM_COLLECT_REPLACING_STREAM_H_

#include <cstdio>
#include <string>

namespace trhsm {
namespace collect {

// Opens a "w+" stream whose content is to replace `target`. Normally the stream writes a new file
// `target` + ".tmp." and six letters, created exclusively and never through a link, with the
// permission bits of an existing regular `target`; *temporary names it. When `target` is a
// device or FIFO the stream writes it directly and *temporary is empty. Returns null with errno
// when nothing could be opened (*temporary then empty, nothing created).
FILE* OpenReplacing(const std::string& target, std::string* temporary);

// Finishes a stream from OpenReplacing and closes it: flushes, checks the error indicator,
// syncs, closes, renames `temporary` over `target` and syncs the folder. True when all of it
// worked; on a failure before the rename the temporary file is removed and `target` left as it
// was. A failed fsync is not retried and fails the call. A direct stream is flushed and closed.
bool FinishReplacing(FILE* stream, const std::string& target, const std::string& temporary);

}  // namespace collect
}  // namespace trhsm

#endif  // TRHSM_COLLECT_REPLACING_STREAM_H_
