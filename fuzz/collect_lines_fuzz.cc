// The collect-file line functions on the input as a stream: an item comes from the whole line read;
// CollectFile's names read back as written. Input: byte 0 bits 0-1 GetLine's buffer (1024, 2048,
// 1 + byte 1, 1 + byte 1 % 16), bits 2-4 1 for the writer's round trip, 2 for CountLines; byte 2
// the separator ("|" below 0xC0); byte 3 the function of each call, a bit each; then the stream.
#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMCollectLines.h"

// Writes lines of `bytes` as timed names; a reader takes each back, or refuses one too long.
static void WriterRoundTrip(const std::string& bytes, char separator) {
  const std::string path = trhsm_fuzz::Path("collect");
  std::vector<std::string> names;
  CollectFile writer;
  FUZZ_CHECK(writer.Initialize(path) == 1);
  writer.SetSeperator(separator);
  trhsm_fuzz::ForLines(bytes, [&](std::string_view line) {
    std::string name(line.substr(0, line.find('\0')));
    if (names.size() == 8) return;
    FUZZ_CHECK(writer.AddToCollectFile(&name[0], false, true, -1700000000L) == !name.empty());
    if (!name.empty()) names.push_back(name);
  });
  FUZZ_CHECK(writer.DeInitialize() == 1 && CountLines(path.c_str()) == names.size());
  FILE* in = std::fopen(path.c_str(), "rb");
  HSMCollectFile item;
  for (const std::string& name : names) {  // 2047 bytes after the first separator at most
    const int got = GetLineFromCollectFile(in, separator, item);
    FUZZ_CHECK(name.size() + 14 > 2047
                   ? got == 0
                   : got == 1 && item.fileName == name && item.itemTime == -1700000000L);
  }
  FUZZ_CHECK(GetLineFromCollectFile(in, separator, item) == 0);
  std::fclose(in);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t sizes[4] = {1024, 2048, 1u + data[1], 1u + data[1] % 16u}, room = sizes[data[0] & 3];
  const char separator = data[2] < 0xC0 ? '|' : static_cast<char>(data[2]);
  const std::string bytes(trhsm_fuzz::Text(data + 4, size - 4));
  // A digit, '-' or a line feed as the separator merges with the time; no writer uses them.
  if ((data[0] >> 2 & 7) == 1 && !std::strchr("0123456789-\n", separator))
    WriterRoundTrip(bytes, separator);
  HSMCollectFile item;
  FUZZ_CHECK(GetLineFromCollectFile(nullptr, separator, item) == -1);
  if (bytes.empty()) return 0;  // fmemopen takes no empty buffer
  if ((data[0] >> 2 & 7) == 2)  // a last line without its line feed counts too
    FUZZ_CHECK(CountLines(trhsm_fuzz::Write("count", bytes).c_str()) ==
               std::count(bytes.begin(), bytes.end(), '\n') + 0ul + (bytes.back() != '\n'));
  std::vector<char> copy(bytes.begin(), bytes.end()), buffer(room);  // exactly the input's bytes
  FILE* stream = fmemopen(copy.data(), copy.size(), "r");
  for (size_t call = 0, at = 0; at < bytes.size(); ++call) {
    item.fileName = "mark";
    const bool timed = data[3] >> call % 8 & 1;
    const int got = timed ? GetLineFromCollectFile(stream, separator, item)
                          : GetLine(stream, buffer.data(), room);
    const std::string line = bytes.substr(at, std::ftell(stream) - at);
    const size_t first = line.find(separator);
    at += line.size();
    // All but the end consume a whole line, and only a whole line gives an item.
    FUZZ_CHECK(!line.empty() && (line.back() == '\n' || (got == 0 && at == bytes.size())));
    FUZZ_CHECK(timed ? got == 0
                           ? item.fileName.empty()
                           : got == 1 && line.size() - first <= 2048 &&
                                 line.find('\0', first) == line.npos &&
                                 line.find(separator + item.fileName + separator, first) == first
                     : got >= -1 && got <= 1 && strnlen(buffer.data(), room) < room &&
                           (got != 1 || line == buffer.data() + std::string("\n")));
  }
  FUZZ_CHECK(GetLineFromCollectFile(stream, separator, item) == 0 &&
             GetLine(stream, buffer.data(), room) == 0);
  std::fclose(stream);
  return 0;
}
