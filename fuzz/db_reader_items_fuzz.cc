// The database reader over a collect file made of the input, in normal or turbo mode: whatever the
// bytes, every item it yields must come from one whole, readable line of the file, in file order,
// with the fields that line holds.
//
// Input: byte 0 picks the mode (bit 0 turbo, bit 1 application type 124, bit 2 skip reports to a
// failure file, bits 3 and 4 together the per-line diagnostics of log level 7); the rest is the
// collect file.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/CZeString.h"
#include "trhsm/KoFileName.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

using trhsm_fuzz::Check;

// What a reader's line buffer of 2048 bytes holds whole: 2047 bytes before the newline.
constexpr size_t kMaxLineBytes = 2047;
constexpr size_t kMaxNormalName = 1023;

std::string CollectFolder() { return trhsm_fuzz::ScratchFolder() + "/collect/"; }

// The lines the reader may take an item from: ended by a newline, without NUL, short enough.
std::vector<std::string_view> WholeLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    if (end == text.npos) break;  // a last line without its newline is cut
    const std::string_view line = text.substr(start, end - start);
    const bool usable = line.size() <= kMaxLineBytes && line.find('\0') == line.npos;
    lines.push_back(usable ? line : std::string_view());
    start = end + 1;
  }
  return lines;
}

bool EndsInCrOrTab(std::string_view s) {
  return !s.empty() && (s.back() == '\r' || s.back() == '\t');
}

struct Yield {
  HSMCollectFile item;
  std::string reparse;
  std::string meta;
  unsigned long inode = 0;
  long long size = 0;
  std::string status;
};

// Whether the whole line `line` describes the item `y` in turbo mode.
bool TurboLineGives(std::string_view line, const Yield& y) {
  std::vector<std::string_view> t;
  std::string scratch;
  const size_t n =
      static_cast<size_t>(CZeString::TokenizeViews(line, '"', '"', '\\', ',', t, scratch));
  if (n < 8 || t[4].empty() || t[7].empty()) return false;
  std::string_view meta = t[6];
  if (EndsInCrOrTab(meta)) meta.remove_suffix(1);
  if (meta.empty() || y.meta != meta) return false;
  if (y.item.fileName != decodeFileName(std::string(t[4]))) return false;
  std::string status = n > 9 ? std::string(t[9]) : std::string();
  if (t[0] == "0" && t[1] == "0" && t[2] == "0" && t[3] == "0") status = "NEVER_BACKED_UP";
  if (y.status != status) return false;
  return t[7] != "-1" || y.inode == ~0UL;
}

bool NormalLineGives(std::string_view line, const Yield& y, bool app124) {
  if (line.empty()) return false;
  std::vector<std::string_view> t;
  std::string scratch;
  const size_t n =
      static_cast<size_t>(CZeString::TokenizeViews(line, '"', '"', '\\', ',', t, scratch));
  if (n < 7 || t[6].empty() || t[4].size() > kMaxNormalName) return false;
  std::string_view meta = t[6];
  size_t cut = meta.rfind('\r');
  if (cut == meta.npos) cut = meta.rfind('\t');
  if (cut != meta.npos) meta = meta.substr(0, cut);
  std::string_view name = t[4];
  if (EndsInCrOrTab(name)) name.remove_suffix(1);
  if (y.meta != meta || y.item.fileName != name || !y.status.empty()) return false;
  return !app124 || y.inode == ~0UL;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("0");
  ::mkdir(CollectFolder().c_str(), 0755);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool turbo = (data[0] & 1) != 0;
  const bool app124 = (data[0] & 2) != 0;
  const bool reports = (data[0] & 4) != 0;
  // Open takes the level that the per-line diagnostics obey. They cost a log line per collect
  // line, so only a quarter of the inputs turn them on.
  setenv("KO_LOG_LEVEL", (data[0] & 0x18) == 0x18 ? "7" : "0", 1);
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  // The record is large (some 60 KB): one kept for all runs, its fields set afresh in each.
  static TRHSM_CMDLINE_ARGS args;
  args.collectFolder = CollectFolder();
  args.jobId = 12;
  args.auxNumber = 3;
  args.appIdSecond = 15;
  args.restartValue = 99;
  args.skipReportSwitch = reports ? 1 : 0;
  EvEvent events;
  std::string path = CollectFolder() + (turbo ? "turbo.kof" : "dbStubList_12.kof");
  trhsm_fuzz::WriteWhole(path, text.data(), text.size());

  const std::vector<std::string_view> lines = WholeLines(text);
  {
    auto reader = std::make_unique<TRHSMCollectFileDBReader>(args, events, turbo, "dbStubList",
                                                             app124 ? 124 : 0);
    std::string failures = CollectFolder() + "failures.txt";
    if (reports) reader->SetFailureFile(failures);
    reader->SetAppTypeGUID("AG");
    Check(turbo ? reader->Initialize(path) == 1 : reader->Initialize() == 1, "Initialize");
    Check(reader->Open() == 1, "Open");
    size_t next = 0;  // lines before this one are used up
    // Every call consumes at least one line, so the reading ends within lines + 1 calls.
    for (size_t calls = 0;; ++calls) {
      Check(calls <= lines.size() + 1, "GetItem does not come to an end");
      Yield y;
      const int rc = reader->GetItem(y.item, y.reparse, y.meta, y.inode, y.size, y.status);
      if (rc == 0) break;
      if (rc == -1) {
        Check(!turbo, "-1 from a turbo-mode reader");
        continue;
      }
      Check(rc == 1, "GetItem result other than 1, 0, -1");
      Check(!y.reparse.empty(), "item without reparse text");
      Check(turbo || y.item.itemTime == 99, "normal item without the restart time");
      bool found = false;
      while (!found && next < lines.size()) {
        const std::string_view line = lines[next++];
        found = turbo ? TurboLineGives(line, y) : NormalLineGives(line, y, app124);
      }
      Check(found, "item yielded from no whole line of the collect file");
    }
  }
  ::unlink(path.c_str());
  return 0;
}
