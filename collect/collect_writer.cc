// The collect-file writer: formats each line into one buffer and hands it to the stream at once.
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "collect/line_format.h"
#include "collect/replacing_stream.h"
#include "trhsm/TRHSMCollectLines.h"

namespace cl = trhsm::collect_line;

namespace {

// Writes `value` as "%ld" does at `out`; returns the number of bytes.
size_t FormatTime(long value, char* out) {
  char digits[cl::kMaxTimeDigits];
  // Negate in unsigned arithmetic: -LONG_MIN does not fit a long.
  unsigned long magnitude =
      value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t length = 0;
  if (value < 0) out[length++] = '-';
  while (n > 0) out[length++] = digits[--n];
  return length;
}

// Formats the line into `out`, which holds at least nameLength + kMaxTimeDigits + 4 bytes.
size_t FormatLine(char* out, const char* name, size_t nameLength, bool withTime, char separator,
                  long time) {
  size_t length = 0;
  if (withTime) out[length++] = separator;
  std::memcpy(out + length, name, nameLength);
  length += nameLength;
  if (withTime) {
    out[length++] = separator;
    length += FormatTime(time, out + length);
    out[length++] = separator;
  }
  out[length++] = cl::kNewline;
  return length;
}

}  // namespace

HSMCollectFile::HSMCollectFile() : itemTime(0) {}

HSMCollectFile::~HSMCollectFile() = default;

CollectFile::CollectFile() : file(nullptr), addAncestorFlag(false), separator(0) {}

CollectFile::~CollectFile() {
  if (file == nullptr || std::uncaught_exceptions() == 0) {
    (void)DeInitialize();
    return;
  }
  // An exception is leaving the writer's scope: the lines written may not be all of them, so the
  // old file stays and the temporary goes.
  std::fclose(file);
  file = nullptr;
  if (!m_tempPath.empty()) ::unlink(m_tempPath.c_str());
}

int CollectFile::Initialize(std::string newPath) {
  // Opening over an open file would lose the stream and its buffered lines.
  (void)DeInitialize();
  // The buffer first: memory running out must not leave an open stream and its temporary behind.
  if (m_streamBuffer.empty()) m_streamBuffer.resize(cl::kWriterBufferSize);
  std::string temporary;
  FILE* opened = trhsm::collect::OpenReplacing(newPath, &temporary);
  if (opened == nullptr) return 0;
  // Without its own buffer the stream keeps the default one: slower, not wrong.
  std::setvbuf(opened, m_streamBuffer.data(), _IOFBF, m_streamBuffer.size());
  file = opened;
  path = std::move(newPath);
  m_tempPath = std::move(temporary);
  return 1;
}

void CollectFile::SetSeperator(char newSeparator) { separator = newSeparator; }

void CollectFile::SetAddAncestorFlag(bool flag) { addAncestorFlag = flag; }

bool CollectFile::GetAddAncestorFlag() { return addAncestorFlag; }

int CollectFile::AddToCollectFile(char* name, bool, bool withTime, long time) {
  if (file == nullptr || separator == 0 || name == nullptr || name[0] == '\0') return 0;
  const size_t nameLength = std::strcspn(name, "\n");
  // A newline would split the entry into two lines that the next phase reads as other files.
  if (name[nameLength] != '\0') return 0;

  if (withTime && time == 0) {
    timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    time = static_cast<long>(now.tv_sec);
  }

  const size_t needed = nameLength + cl::kMaxTimeDigits + 4;
  char local[1024];
  std::string large;
  char* line = local;
  if (needed > sizeof local) {
    large.resize(needed);
    line = &large[0];
  }
  const size_t length = FormatLine(line, name, nameLength, withTime, separator, time);
  // An error flag from an earlier line counts too: the file has already lost a line.
  if (std::fwrite(line, 1, length, file) != length || std::ferror(file)) return 0;
  addAncestorFlag = true;
  return 1;
}

int CollectFile::DeInitialize() {
  if (file == nullptr) return 1;
  FILE* stream = file;
  file = nullptr;
  const std::string temporary = std::move(m_tempPath);
  m_tempPath.clear();
  return trhsm::collect::FinishReplacing(stream, path, temporary) ? 1 : 0;
}
