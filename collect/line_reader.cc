// Bounded line reading on top of fgets, which scans the stream's buffer for the newline instead of
// taking the bytes one at a time.
#include "collect/line_reader.h"

#include <climits>
#include <cstring>

#include "collect/line_format.h"

namespace trhsm {
namespace collect_line {

namespace {

// Consumes the stream up to and including the next newline; false when it ended or failed first.
bool SkipRestOfLine(FILE* stream) {
  int c;
  flockfile(stream);
  while ((c = getc_unlocked(stream)) != EOF && c != kNewline) {
  }
  funlockfile(stream);
  return c == kNewline;
}

LineRead Damaged(FILE* stream, LineStatus status) {
  return {SkipRestOfLine(stream) ? status : LineStatus::kEnd, 0};
}

}  // namespace

LineRead ReadLine(FILE* stream, char* buffer, size_t size) {
  if (size < 2) {
    // Room for the terminator alone: only an empty line fits.
    buffer[0] = '\0';
    int c = getc(stream);
    if (c == EOF) return {LineStatus::kEnd, 0};
    if (c == kNewline) return {LineStatus::kWhole, 0};
    return Damaged(stream, LineStatus::kTooLong);
  }
  // fgets counts in int; a longer buffer is used up to INT_MAX bytes.
  const size_t limit = size > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : size;
  // fgets does not say how many bytes it read, and a NUL byte in the line hides that from strlen.
  // The sentinel tells whether it stopped at the limit: only then is the last byte its terminator.
  buffer[limit - 1] = 1;
  if (std::fgets(buffer, static_cast<int>(limit), stream) == nullptr) {
    buffer[0] = '\0';  // the contents are indeterminate after a read error
    return {LineStatus::kEnd, 0};
  }
  const size_t length = std::strlen(buffer);
  if (buffer[limit - 1] != '\0') {
    // Stopped before the limit, at the newline or at the end of the stream.
    if (length > 0 && buffer[length - 1] == kNewline) {
      buffer[length - 1] = '\0';
      return {LineStatus::kWhole, length - 1};
    }
    if (std::feof(stream) || std::ferror(stream)) return {LineStatus::kEnd, 0};
    // The newline lies behind a NUL byte that strlen stopped at; the line is consumed.
    return {LineStatus::kHasNul, 0};
  }
  // limit - 1 bytes were read.
  const bool hasNul = length < limit - 1;
  if (buffer[limit - 2] == kNewline) {
    buffer[limit - 2] = '\0';
    return {hasNul ? LineStatus::kHasNul : LineStatus::kWhole, limit - 2};
  }
  // The line still fits when its newline comes next.
  const int next = std::getc(stream);
  if (next == kNewline) return {hasNul ? LineStatus::kHasNul : LineStatus::kWhole, limit - 1};
  if (next == EOF) return {LineStatus::kEnd, 0};
  return Damaged(stream, LineStatus::kTooLong);
}

}  // namespace collect_line
}  // namespace trhsm
