// The collect-file line functions: timed lines, bounded lines, line counts and failure-file lines.
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "collect/line_format.h"
#include "collect/line_reader.h"
#include "trhsm/KoFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace cl = trhsm::collect_line;

namespace {

// Reads a time as atol does (white space, a sign, digits up to the first non-digit, 0 without
// digits), but clamps an out-of-range value as strtol does instead of leaving it undefined.
long ParseTime(const char* p) {
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  const unsigned long minMagnitude = 0UL - static_cast<unsigned long>(LONG_MIN);
  const unsigned long limit = negative ? minMagnitude : static_cast<unsigned long>(LONG_MAX);
  unsigned long value = 0;
  // Eighteen digits cannot overflow; only longer numbers pay for the check.
  for (int n = 0; n < 18 && *p >= '0' && *p <= '9'; ++n, ++p) {
    value = value * 10 + static_cast<unsigned long>(*p - '0');
  }
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned long digit = static_cast<unsigned long>(*p - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (!negative) return static_cast<long>(value);
  return value == minMagnitude ? LONG_MIN : -static_cast<long>(value);
}

}  // namespace

int GetLineFromCollectFile(FILE* stream, char separator, HSMCollectFile& item) {
  if (stream == nullptr) return -1;
  item.fileName.clear();

  const int sep = static_cast<unsigned char>(separator);
  int c;
  while ((c = std::getc(stream)) != EOF && c != cl::kNewline && c != sep) {
  }
  if (c != sep) return 0;  // a plain line, or the end

  char buffer[cl::kTimedLineBufferSize];
  const cl::LineRead line = cl::ReadLine(stream, buffer, sizeof buffer);
  // A longer, NUL-bearing or unterminated line is cut or damaged: its name cannot be trusted.
  if (line.status != cl::LineStatus::kWhole || line.length + 1 > cl::kMaxTimedLineRest) return 0;

  // Split from the end, so that a separator inside the name stays in the name.
  const std::string_view rest(buffer, line.length);
  const size_t last = rest.rfind(separator);
  if (last == std::string_view::npos) return 0;
  const size_t beforeTime = rest.substr(0, last).rfind(separator);
  if (beforeTime == std::string_view::npos) return 0;

  buffer[last] = '\0';
  item.itemTime = ParseTime(buffer + beforeTime + 1);
  item.fileName.assign(buffer, beforeTime);
  return 1;
}

int GetLine(FILE* stream, char* buffer, size_t size) {
  if (stream == nullptr || buffer == nullptr || size == 0) return 0;
  switch (cl::ReadLine(stream, buffer, size).status) {
    case cl::LineStatus::kWhole:
      return 1;
    case cl::LineStatus::kTooLong:
    case cl::LineStatus::kHasNul:
      return -1;
    case cl::LineStatus::kEnd:
      break;
  }
  return 0;
}

unsigned long CountLines(const char* path) {
  if (path == nullptr) return 0;
  std::vector<char> chunk(64 * 1024);  // before the open: a failed allocation leaks nothing
  FILE* fp = fopen_utf(path, "r");
  if (fp == nullptr) return 0;
  unsigned long count = 0;
  char lastByte = cl::kNewline;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), fp)) > 0) {
    const char* p = chunk.data();
    const char* const end = p + n;
    while ((p = static_cast<const char*>(
                std::memchr(p, cl::kNewline, static_cast<size_t>(end - p)))) != nullptr) {
      ++count;
      ++p;
    }
    lastByte = chunk[n - 1];
  }
  std::fclose(fp);
  if (lastByte != cl::kNewline) ++count;  // the last line lacks its newline
  return count;
}

void write_to_file(FILE* stream, std::string& text) {
  if (stream == nullptr) return;
  flockfile(stream);
  std::fputs(text.c_str(), stream);
  putc_unlocked(cl::kNewline, stream);
  funlockfile(stream);
}
