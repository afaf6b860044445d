// The collect-file line functions over the input's bytes as a stream (fmemopen). A model of the
// line format says, call by call, what GetLine and GetLineFromCollectFile must return, deliver and
// consume; CountLines and write_to_file are held against a plain count and the bytes written, and
// names written by CollectFile must read back whole.
//
// Input: four header bytes, then the stream.
//   byte 0  bits 0-1: GetLine's buffer size (1024, 2048, 1 + byte 1, 1 + byte 1 % 16);
//           bits 2-4: 1 also writes the stream's lines as names with CollectFile and reads them
//           back, 2 also counts the stream's lines with CountLines (both need real files and
//           cost more than all the rest, so they come with one input in eight each)
//   byte 1  see byte 0
//   byte 2  the separator: "|" below 0xC0, else the byte itself
//   byte 3  which function each call uses, one bit per call, cycling
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

constexpr size_t kMaxTimedRest = 2047;  // a timed line after its first separator, newline included

// Where the next call must leave the stream, and what it must give.
struct Model {
  const char* data;
  size_t size;
  size_t pos = 0;

  size_t NextNewline(size_t from) const {
    const void* nl = from < size ? std::memchr(data + from, '\n', size - from) : nullptr;
    return nl == nullptr ? std::string::npos
                         : static_cast<size_t>(static_cast<const char*>(nl) - data);
  }
};

void CheckGetLine(FILE* stream, Model* m, size_t bufferSize) {
  std::vector<char> buffer(bufferSize, 'G');
  const int got = GetLine(stream, buffer.data(), bufferSize);
  const size_t nl = m->NextNewline(m->pos);
  if (nl == std::string::npos) {
    TRHSM_FUZZ_CHECK(got == 0);
    TRHSM_FUZZ_CHECK(m->pos == m->size || strnlen(buffer.data(), bufferSize) < bufferSize);
    m->pos = m->size;
  } else {
    const std::string line(m->data + m->pos, nl - m->pos);
    const bool fits = line.size() < bufferSize && line.find('\0') == std::string::npos;
    TRHSM_FUZZ_CHECK(got == (fits ? 1 : -1));
    // Whatever came, it is terminated inside the buffer; a whole line is the line's bytes.
    TRHSM_FUZZ_CHECK(strnlen(buffer.data(), bufferSize) < bufferSize);
    if (fits) TRHSM_FUZZ_CHECK(line == buffer.data());
    m->pos = nl + 1;
  }
  TRHSM_FUZZ_CHECK(std::ftell(stream) == static_cast<long>(m->pos));
}

void CheckTimedLine(FILE* stream, Model* m, char separator) {
  HSMCollectFile item;
  item.fileName = "name-mark";
  const int got = GetLineFromCollectFile(stream, separator, item);

  // Bytes before the first separator are dropped; a line feed first makes it a plain line.
  size_t i = m->pos;
  while (i < m->size && m->data[i] != separator && m->data[i] != '\n') ++i;
  int expected = 0;
  std::string name;
  long time = 0;
  if (i == m->size) {
    m->pos = m->size;
  } else if (m->data[i] != separator) {
    m->pos = i + 1;
  } else {
    const size_t nl = m->NextNewline(i + 1);
    if (nl == std::string::npos) {
      m->pos = m->size;  // a last line without its newline is no item
    } else {
      const std::string rest(m->data + i + 1, nl - i - 1);
      m->pos = nl + 1;
      const size_t last = rest.rfind(separator);
      const size_t before = last == std::string::npos || last == 0
                                ? std::string::npos
                                : rest.rfind(separator, last - 1);
      if (rest.size() + 1 <= kMaxTimedRest && rest.find('\0') == std::string::npos &&
          before != std::string::npos) {
        expected = 1;
        name = rest.substr(0, before);
        time = std::strtol(rest.substr(before + 1, last - before - 1).c_str(), nullptr, 10);
      }
    }
  }
  TRHSM_FUZZ_CHECK(got == expected);
  if (got == 1) {
    TRHSM_FUZZ_CHECK(item.fileName == name && item.itemTime == time);
  } else {
    TRHSM_FUZZ_CHECK(item.fileName.empty());
  }
  TRHSM_FUZZ_CHECK(std::ftell(stream) == static_cast<long>(m->pos));
}

unsigned long ExpectedLines(const std::string& bytes) {
  unsigned long lines = 0;
  for (char c : bytes) lines += c == '\n' ? 1 : 0;
  if (!bytes.empty() && bytes.back() != '\n') ++lines;
  return lines;
}

void CheckCountLines(const std::string& bytes) {
  const std::string path = trhsm_fuzz::ScratchFolder() + "/count";
  FILE* out = std::fopen(path.c_str(), "wb");
  TRHSM_FUZZ_CHECK(out != nullptr);
  TRHSM_FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size());
  TRHSM_FUZZ_CHECK(std::fclose(out) == 0);
  TRHSM_FUZZ_CHECK(CountLines(path.c_str()) == ExpectedLines(bytes));
}

void CheckWriteToFile(const std::string& bytes) {
  char* written = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&written, &length);
  TRHSM_FUZZ_CHECK(out != nullptr);
  std::string text = bytes;
  write_to_file(out, text);
  TRHSM_FUZZ_CHECK(std::fclose(out) == 0);
  const std::string expected = bytes.substr(0, bytes.find('\0')) + "\n";
  TRHSM_FUZZ_CHECK(std::string(written, length) == expected);
  std::free(written);
  write_to_file(nullptr, text);
}

// Writes each line of `bytes` (up to eight, cut at a NUL) as a timed name and reads them back.
void CheckWriterRoundTrip(const std::string& bytes, char separator) {
  // A digit, a minus sign, a line feed or a NUL as the separator can merge with the time or end
  // the line; no reader uses such separators.
  if (std::strchr("0123456789-\n", separator) != nullptr) return;
  const std::string path = trhsm_fuzz::ScratchFolder() + "/collect";
  std::vector<std::string> names;
  std::vector<long> times;
  {
    CollectFile writer;
    TRHSM_FUZZ_CHECK(writer.Initialize(path) == 1);
    writer.SetSeperator(separator);
    size_t from = 0;
    for (int n = 0; n < 8 && from <= bytes.size(); ++n) {
      size_t nl = bytes.find('\n', from);
      if (nl == std::string::npos) nl = bytes.size();
      std::string name = bytes.substr(from, nl - from);
      name = name.substr(0, name.find('\0'));
      from = nl + 1;
      const long time = (n % 2 == 0 ? 1 : -1) * (1700000000L + n * 104729L);
      const int added = writer.AddToCollectFile(&name[0], false, true, time);
      TRHSM_FUZZ_CHECK(added == (name.empty() ? 0 : 1));
      if (added == 1) {
        names.push_back(name);
        times.push_back(time);
      }
    }
    TRHSM_FUZZ_CHECK(writer.DeInitialize() == 1);
  }
  TRHSM_FUZZ_CHECK(CountLines(path.c_str()) == names.size());
  FILE* in = std::fopen(path.c_str(), "rb");
  TRHSM_FUZZ_CHECK(in != nullptr);
  for (size_t n = 0; n < names.size(); ++n) {
    HSMCollectFile item;
    const int got = GetLineFromCollectFile(in, separator, item);
    const size_t rest = names[n].size() + 2 + std::to_string(times[n]).size() + 1;
    if (rest > kMaxTimedRest) {
      TRHSM_FUZZ_CHECK(got == 0);  // longer than a reader takes: refused, never cut
      continue;
    }
    TRHSM_FUZZ_CHECK(got == 1 && item.fileName == names[n] && item.itemTime == times[n]);
  }
  HSMCollectFile item;
  TRHSM_FUZZ_CHECK(GetLineFromCollectFile(in, separator, item) == 0);
  std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t sizes[4] = {1024, 2048, 1u + data[1], 1u + data[1] % 16u};
  const size_t bufferSize = sizes[data[0] & 3];
  const char separator = data[2] < 0xC0 ? '|' : static_cast<char>(data[2]);
  const uint8_t pattern = data[3];
  const std::string bytes(reinterpret_cast<const char*>(data + 4), size - 4);

  const int fileWork = (data[0] >> 2) & 7;
  if (fileWork == 1) CheckWriterRoundTrip(bytes, separator);
  if (fileWork == 2) CheckCountLines(bytes);
  CheckWriteToFile(bytes);
  if (bytes.empty()) return 0;  // fmemopen takes no empty buffer

  // The stream reads a copy of exactly the input's bytes.
  std::vector<char> copy(bytes.begin(), bytes.end());
  FILE* stream = fmemopen(copy.data(), copy.size(), "r");
  TRHSM_FUZZ_CHECK(stream != nullptr);
  Model model{copy.data(), copy.size()};
  for (int call = 0; model.pos < model.size && call < 4096; ++call) {
    if ((pattern >> (call % 8)) & 1) {
      CheckTimedLine(stream, &model, separator);
    } else {
      CheckGetLine(stream, &model, bufferSize);
    }
  }
  // At the end both give nothing, and a null stream is refused.
  std::vector<char> buffer(bufferSize);
  TRHSM_FUZZ_CHECK(GetLine(stream, buffer.data(), buffer.size()) == 0);
  HSMCollectFile item;
  TRHSM_FUZZ_CHECK(GetLineFromCollectFile(stream, separator, item) == 0);
  TRHSM_FUZZ_CHECK(GetLineFromCollectFile(nullptr, separator, item) == -1);
  std::fclose(stream);
  return 0;
}
