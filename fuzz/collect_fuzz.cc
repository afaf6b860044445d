// The collect line functions (byte 0 even) and the database reader (odd): items from whole lines.
#include "fuzz/fuzz_check.h"
#include "trhsm/CZeString.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

void WriterRoundTrip(const std::string& bytes, char separator) {  // names read back but too long
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

// Byte 0: GetLine's buffer (bits 0-1), the writer (bits 2-4 = 1); 2: separator; 3: timed calls.
void Lines(const uint8_t* data, size_t size) {
  if (size < 4) return;
  const size_t sizes[4] = {1024, 2048, 1u + data[1], 1u + data[1] % 16u}, room = sizes[data[0] & 3];
  const char separator = data[2] < 0xC0 ? '|' : static_cast<char>(data[2]);
  const std::string bytes(trhsm_fuzz::Text(data + 4, size - 4));
  if ((data[0] >> 2 & 7) == 1 && !std::strchr("0123456789-\n", separator))
    WriterRoundTrip(bytes, separator);
  HSMCollectFile item;
  FUZZ_CHECK(GetLineFromCollectFile(nullptr, separator, item) == -1);
  if (bytes.empty()) return;  // fmemopen takes no empty buffer
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
}

// Byte 0 bit 0 turbo, bit 1 application type 124, bit 2 a failure file, bits 3+4 log level 7.
void Database(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const bool turbo = data[0] & 1;
  setenv("KO_LOG_LEVEL", (data[0] & 0x18) == 0x18 ? "7" : "0", 1);  // Open takes the level
  const std::string_view text = trhsm_fuzz::Text(data + 1, size - 1);
  static TRHSM_CMDLINE_ARGS args;
  args.collectFolder = trhsm_fuzz::Scratch() + "/";
  args.jobId = 12, args.auxNumber = 3, args.appIdSecond = 15, args.restartValue = 99;
  args.skipReportSwitch = data[0] >> 2 & 1;
  std::string path = trhsm_fuzz::Write(turbo ? "turbo.kof" : "dbStubList_12.kof", text);
  EvEvent events;
  auto reader = std::make_unique<TRHSMCollectFileDBReader>(args, events, turbo, "dbStubList",
                                                           data[0] & 2 ? 124 : 0);
  std::string failures = trhsm_fuzz::Path("failures.txt");
  if (args.skipReportSwitch) reader->SetFailureFile(failures);
  reader->SetAppTypeGUID("AG");
  FUZZ_CHECK((turbo ? reader->Initialize(path) : reader->Initialize()) == 1 && reader->Open() == 1);
  auto begins = [](std::string_view line, const std::string& value) {  // a field of the line
    std::vector<std::string_view> fields;
    std::string scratch;
    CZeString::TokenizeViews(line, '"', '"', '\\', ',', fields, scratch);
    return std::any_of(fields.begin(), fields.end(),
                       [&](auto f) { return f.rfind(value, 0) == 0; });
  };
  trhsm_fuzz::WholeLines lines{text, 2047};
  for (size_t calls = 0, lineFeeds = std::count(text.begin(), text.end(), '\n');; ++calls) {
    HSMCollectFile item;
    std::string reparse, meta, status;
    unsigned long inode = 0;
    long long fileSize = 0;
    const int rc = reader->GetItem(item, reparse, meta, inode, fileSize, status);
    FUZZ_CHECK(calls <= lineFeeds && (rc == 1 || rc == 0 || (rc == -1 && !turbo)));
    if (rc == 0) break;
    FUZZ_CHECK(rc == -1 || (!reparse.empty() && (turbo ? !meta.empty() : item.itemTime == 99) &&
                            lines.Next([&](std::string_view line) {
                              return begins(line, meta) && (turbo || begins(line, item.fileName));
                            })));
  }
}

FUZZ_PARTS(Lines, Database)
