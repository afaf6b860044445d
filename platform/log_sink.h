// The log's one way out: builds a log line and appends it to the file that KO_LOG_FILE names.
#ifndef TRHSM_PLATFORM_LOG_SINK_H_
#define TRHSM_PLATFORM_LOG_SINK_H_

#include <string>

namespace trhsm {
namespace platform {

// Appends one line "<local time> <pid> <tid> <kind> <tag>: <message>" to the file named by
// KO_LOG_FILE (re-read at each call), or to standard error when it is unset, empty or cannot be
// opened. A null or empty tag prints as "-". Trailing newlines of the message are dropped and any
// other '\n' or '\r' in the tag or message is written as the two characters "\n" or "\r", so one
// call is always exactly one line. The line goes out in one write(2) on an O_APPEND descriptor: it
// is in the file when the call returns and never interleaves with lines of other threads or
// processes. Thread-safe; never throws (a line that cannot be written is dropped).
void WriteLogLine(const char* kind, const char* tag, const std::string& message) noexcept;

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_LOG_SINK_H_
