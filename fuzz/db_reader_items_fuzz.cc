// The database reader, normal or turbo: each item comes, in order, from one whole line of at most
// 2047 bytes with fields that begin with its metadata (and its name, normal). Input: byte 0 bit 0
// turbo, bit 1 application type 124, bit 2 a failure file, bits 3+4 log level 7; then the file.
#include "fuzz/fuzz_check.h"
#include "trhsm/CZeString.h"
#include "trhsm/TRHSMCollectFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool turbo = data[0] & 1;
  trhsm_fuzz::QuietLogs((data[0] & 0x18) == 0x18 ? "7" : "0");  // Open takes the level
  const std::string_view text = trhsm_fuzz::Text(data + 1, size - 1);
  static TRHSM_CMDLINE_ARGS args;  // some 60 KB: one for all runs
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
  auto begins = [](std::string_view line, const std::string& value) {
    std::vector<std::string_view> fields;
    std::string scratch;
    CZeString::TokenizeViews(line, '"', '"', '\\', ',', fields, scratch);
    return std::any_of(fields.begin(), fields.end(),
                       [&](auto f) { return f.rfind(value, 0) == 0; });
  };
  trhsm_fuzz::WholeLines lines(text, 2047);
  // Every call uses up a line at least.
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
  reader.reset();
  ::unlink(path.c_str());
  return 0;
}
