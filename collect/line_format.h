// The collect-file line: the one place that says what its bytes are, for the writer and the
// readers.
//
//   timed line:  S name S time S '\n'   S: the writer's separator byte (readers use '|')
//                                       name: any bytes but '\n' and NUL, S included
//                                       time: signed decimal as "%ld" writes it
//   plain line:  name '\n'
//
// A timed line, from the byte after its leading separator up to and including its newline, holds at
// most kMaxTimedLineRest bytes. A line read with GetLine holds fewer bytes than the caller's
// buffer.
#ifndef TRHSM_COLLECT_LINE_FORMAT_H_
#define TRHSM_COLLECT_LINE_FORMAT_H_

#include <cstddef>

namespace trhsm {
namespace collect_line {

constexpr char kNewline = '\n';         // 0x0A, ends every line
constexpr char kReaderSeparator = '|';  // 0x7C, the separator every reader of this library uses

// Name, two separators, digits and newline of a timed line after its leading separator.
constexpr size_t kMaxTimedLineRest = 2047;
constexpr size_t kTimedLineBufferSize = kMaxTimedLineRest + 1;  // 2048, terminator included

// Buffers the two readers hand to GetLine: the stub list of the direct reader and the database
// collect file; a line holds at most the buffer size - 1 bytes before its newline.
constexpr size_t kStubListLineBufferSize = 1024;
constexpr size_t kDatabaseLineBufferSize = 2048;

// Stream buffer of the writer.
constexpr size_t kWriterBufferSize = 64 * 1024;

// Digits of the widest long (19 for 2^63) and a minus sign.
constexpr size_t kMaxTimeDigits = 20;

}  // namespace collect_line
}  // namespace trhsm

#endif  // TRHSM_COLLECT_LINE_FORMAT_H_
