// The direct reader over a stub collect file and a stub list: the n-th item comes from the n-th
// timed line ("...|name|time|") and the n-th stub-list line ("reparse[|inode]"), both whole.
// Input: bytes 0-1 (little-endian) the length of the stub collect file, which follows; the rest is
// the stub list.
#include <string>

#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMCollectFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("7");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view body = trhsm_fuzz::Text(data + 2, size - 2);
  const size_t split = std::min<size_t>(data[0] | data[1] << 8, body.size());
  static TRHSM_CMDLINE_ARGS args;  // some 60 KB: one for all runs
  args.stubFileName = trhsm_fuzz::Scratch() + "/stub_collect.kof";
  args.stubListName = trhsm_fuzz::Scratch() + "/stub_list.txt";
  trhsm_fuzz::WriteWhole(args.stubFileName, body.substr(0, split));
  trhsm_fuzz::WriteWhole(args.stubListName, body.substr(split));
  trhsm_fuzz::WholeLines timed(body.substr(0, split), std::string::npos);
  trhsm_fuzz::WholeLines listed(body.substr(split), 1023);

  EvEvent events;
  TRHSMCollectFileReader reader(args, events);
  FUZZ_CHECK(reader.Initialize() == 1 && reader.Open() == 1);
  for (;;) {
    HSMCollectFile item;
    std::string reparse, meta = "untouched", status = "stale";
    unsigned long inode = 0;
    long long fileSize = 0;
    const int rc = reader.GetItem(item, reparse, meta, inode, fileSize, status);
    FUZZ_CHECK(rc == 0 || rc == 1);
    if (rc == 0) break;
    FUZZ_CHECK(meta == "untouched" && fileSize == -1 && status.empty());
    FUZZ_CHECK(timed.Next(
        [&](std::string_view line) {
          const size_t first = line.find('|');  // 2047 bytes from there to the line feed
          return first != line.npos && line.size() - first <= 2047 &&
                 line.find('\0', first) == line.npos &&
                 line.find("|" + item.fileName + "|") == first;
        },
        true));
    FUZZ_CHECK(listed.Next(
        [&](std::string_view line) {
          return line == reparse || (line.substr(0, reparse.size() + 1) == reparse + "|" &&
                                     line.find('|', reparse.size() + 1) == line.npos);
        },
        true));
  }
  return 0;
}
