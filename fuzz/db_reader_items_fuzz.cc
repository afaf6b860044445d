// The database reader over a collect file made of the input, normal or turbo mode: every item
// comes, in file order, from one whole line of at most 2047 bytes whose fields hold its metadata
// and name. Input: byte 0 bit 0 turbo, bit 1 application type 124, bit 2 reports to a failure file,
// bits 3 and 4 both the per-line diagnostics of log level 7; the rest is the collect file.
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "trhsm/CZeString.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

// Whether `value` begins one of the line's comma-separated fields (quotes and escapes undone).
bool BeginsField(std::string_view line, const std::string& value) {
  std::vector<std::string_view> fields;
  std::string scratch;
  CZeString::TokenizeViews(line, '"', '"', '\\', ',', fields, scratch);
  for (std::string_view field : fields) {
    if (field.substr(0, value.size()) == value) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool turbo = data[0] & 1, app124 = data[0] & 2, reports = data[0] & 4;
  trhsm_fuzz::QuietLogs((data[0] & 0x18) == 0x18 ? "7" : "0");  // Open takes the level
  const std::string_view text = trhsm_fuzz::Text(data + 1, size - 1);
  static TRHSM_CMDLINE_ARGS args;  // some 60 KB: one for all runs
  args.collectFolder = trhsm_fuzz::Scratch() + "/";
  args.jobId = 12;
  args.auxNumber = 3;
  args.appIdSecond = 15;
  args.restartValue = 99;
  args.skipReportSwitch = reports;
  const std::string path = args.collectFolder + (turbo ? "turbo.kof" : "dbStubList_12.kof");
  trhsm_fuzz::WriteWhole(path, text);

  EvEvent events;
  auto reader = std::make_unique<TRHSMCollectFileDBReader>(args, events, turbo, "dbStubList",
                                                           app124 ? 124 : 0);
  std::string failures = args.collectFolder + "failures.txt";
  if (reports) reader->SetFailureFile(failures);
  reader->SetAppTypeGUID("AG");
  std::string name = path;
  FUZZ_CHECK((turbo ? reader->Initialize(name) : reader->Initialize()) == 1 && reader->Open() == 1);
  trhsm_fuzz::WholeLines lines(text, 2047);
  const size_t lineFeeds = std::count(text.begin(), text.end(), '\n');
  for (size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= lineFeeds + 1);  // each call uses up at least one line
    HSMCollectFile item;
    std::string reparse, meta, status;
    unsigned long inode = 0;
    long long fileSize = 0;
    const int rc = reader->GetItem(item, reparse, meta, inode, fileSize, status);
    FUZZ_CHECK(rc == 1 || rc == 0 || (rc == -1 && !turbo));
    if (rc == 0) break;
    if (rc == -1) continue;
    FUZZ_CHECK(!reparse.empty() && !meta.empty() && (turbo || item.itemTime == 99));
    FUZZ_CHECK(lines.Next([&](std::string_view line) {
      return BeginsField(line, meta) && (turbo || BeginsField(line, item.fileName));
    }));
  }
  reader.reset();
  ::unlink(path.c_str());
  return 0;
}
