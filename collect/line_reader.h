// Reads one line of a stream into a bounded buffer and says whether it came whole.
#ifndef TRHSM_COLLECT_LINE_READER_H_
#define TRHSM_COLLECT_LINE_READER_H_

#include <cstddef>
#include <cstdio>

namespace trhsm {
namespace collect_line {

enum class LineStatus {
  kWhole,    // the line and its newline were read; the newline replaced by the NUL
  kTooLong,  // more than size - 1 bytes before the newline; consumed whole
  kHasNul,   // a NUL byte within the line; consumed whole
  kEnd,      // the stream ended or failed before a newline
};

struct LineRead {
  LineStatus status;
  size_t length;  // bytes before the newline, for kWhole
};

// Reads the next line of `stream` into `buffer`. However the line ends, the buffer holds at most
// its first size - 1 bytes followed by a NUL, and the stream stands after the line's newline (or
// at its end).
// REQUIRES: stream and buffer not null, size >= 1.
LineRead ReadLine(FILE* stream, char* buffer, size_t size);

}  // namespace collect_line
}  // namespace trhsm

#endif  // TRHSM_COLLECT_LINE_READER_H_
