// The collect-file line functions on the input as a stream: what GetLine and GetLineFromCollectFile
// give comes from the whole line they consumed; names written by CollectFile read back as written.
// Input: byte 0 bits 0-1 GetLine's buffer size (1024, 2048, 1 + byte 1, 1 + byte 1 % 16), bits 2-4
// 1 for the writer's round trip, 2 for CountLines; byte 2 the separator ("|" below 0xC0); byte 3
// which function each call uses, one bit per call, cycling; then the stream.
#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

// Writes the first lines of `bytes` as timed names; a reader takes back each whole, or refuses one
// longer than its 2047 bytes after the first separator.
void WriterRoundTrip(const std::string& bytes, char separator) {
  if (std::strchr("0123456789-\n", separator) != nullptr) return;  // would merge with the time
  const std::string path = trhsm_fuzz::Scratch() + "/collect";
  std::vector<std::pair<std::string, long>> lines;
  CollectFile writer;
  FUZZ_CHECK(writer.Initialize(path) == 1);
  writer.SetSeperator(separator);
  for (size_t from = 0, n = 0; n < 8 && from <= bytes.size(); ++n) {
    const size_t nl = std::min(bytes.find('\n', from), bytes.size());
    std::string name = bytes.substr(from, nl - from).c_str();
    const long time = (n % 2 ? -1 : 1) * (1700000000L + 104729L * static_cast<long>(n));
    FUZZ_CHECK(writer.AddToCollectFile(&name[0], false, true, time) == !name.empty());
    if (!name.empty()) lines.emplace_back(name, time);
    from = nl + 1;
  }
  FUZZ_CHECK(writer.DeInitialize() == 1 && CountLines(path.c_str()) == lines.size());
  FILE* in = std::fopen(path.c_str(), "rb");
  HSMCollectFile item;
  for (const auto& [name, time] : lines) {
    const bool fits = name.size() + std::to_string(time).size() + 3 <= 2047;
    FUZZ_CHECK(GetLineFromCollectFile(in, separator, item) == fits);
    FUZZ_CHECK(!fits || (item.fileName == name && item.itemTime == time));
  }
  FUZZ_CHECK(GetLineFromCollectFile(in, separator, item) == 0);
  std::fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t sizes[4] = {1024, 2048, 1u + data[1], 1u + data[1] % 16u},
               bufferSize = sizes[data[0] & 3];
  const char separator = data[2] < 0xC0 ? '|' : static_cast<char>(data[2]);
  std::string bytes(trhsm_fuzz::Text(data + 4, size - 4));
  if ((data[0] >> 2 & 7) == 1) WriterRoundTrip(bytes, separator);
  if ((data[0] >> 2 & 7) == 2) {
    trhsm_fuzz::WriteWhole(trhsm_fuzz::Scratch() + "/count", bytes);
    FUZZ_CHECK(CountLines((trhsm_fuzz::Scratch() + "/count").c_str()) ==
               static_cast<unsigned long>(std::count(bytes.begin(), bytes.end(), '\n')) +
                   (!bytes.empty() && bytes.back() != '\n'));
  }
  char* written = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&written, &length);
  write_to_file(out, bytes);
  std::fclose(out);
  FUZZ_CHECK(std::string(written, length) == bytes.substr(0, bytes.find('\0')) + "\n");
  std::free(written);

  HSMCollectFile item;
  FUZZ_CHECK(GetLineFromCollectFile(nullptr, separator, item) == -1);
  if (bytes.empty()) return 0;                         // fmemopen takes no empty buffer
  std::vector<char> copy(bytes.begin(), bytes.end());  // exactly the input's bytes
  FILE* stream = fmemopen(copy.data(), copy.size(), "r");
  for (size_t call = 0, at = 0; at < bytes.size(); ++call) {
    std::vector<char> buffer(bufferSize, 'G');
    item.fileName = "mark";
    const bool timed = data[3] >> call % 8 & 1;
    const int got = timed ? GetLineFromCollectFile(stream, separator, item)
                          : GetLine(stream, buffer.data(), bufferSize);
    const std::string line = bytes.substr(at, std::ftell(stream) - at);
    at += line.size();
    FUZZ_CHECK(!line.empty() && got >= (timed ? 0 : -1) && got <= 1 &&
               (!timed || got == 1 || item.fileName.empty()));
    FUZZ_CHECK(timed || strnlen(buffer.data(), bufferSize) < bufferSize);
    // All but the end consume a whole line, and only a whole line gives an item.
    FUZZ_CHECK(line.back() == '\n' || (got == 0 && at == bytes.size()));
    const size_t first = line.find(separator);
    FUZZ_CHECK(got != 1 || timed || line == buffer.data() + std::string("\n"));
    FUZZ_CHECK(got != 1 || !timed ||
               (line.size() - first <= 2048 && line.find('\0', first) == line.npos &&
                line.find(separator + item.fileName + separator, first) == first));
  }
  char end[4];
  FUZZ_CHECK(GetLineFromCollectFile(stream, separator, item) == 0 && GetLine(stream, end, 4) == 0);
  std::fclose(stream);
  return 0;
}
