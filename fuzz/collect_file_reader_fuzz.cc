// The direct reader: its n-th item comes from the n-th whole timed line ("...|name|time|") of the
// stub collect file and the n-th whole line ("reparse[|inode]") of the stub list. Input: bytes 0-1
// (little-endian) the length of the collect file, which follows; then the stub list.
#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMCollectFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return trhsm_fuzz::QuietLogs("7"); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view body = trhsm_fuzz::Text(data + 2, size - 2),
                         collect = body.substr(0, data[0] | data[1] << 8),
                         list = body.substr(collect.size());
  static TRHSM_CMDLINE_ARGS args;  // some 60 KB: one for all runs
  args.stubFileName = trhsm_fuzz::Write("stub_collect.kof", collect);
  args.stubListName = trhsm_fuzz::Write("stub_list.txt", list);
  // A timed line counts from its first '|': at most 2047 bytes from there, line feed included.
  trhsm_fuzz::WholeLines timed(collect, 2047, '|'), listed(list, 1023);
  EvEvent events;
  TRHSMCollectFileReader reader(args, events);
  FUZZ_CHECK(reader.Initialize() == 1 && reader.Open() == 1);
  for (int rc = 1; rc == 1;) {
    HSMCollectFile item;
    std::string reparse, meta = "mark", status = "mark";
    unsigned long inode = 0;
    long long fileSize = 0;
    if ((rc = reader.GetItem(item, reparse, meta, inode, fileSize, status)) == 0) break;
    FUZZ_CHECK(rc == 1 && meta == "mark" && fileSize == -1 && status.empty());
    FUZZ_CHECK(timed.Next(
        [&](auto line) { return line.find('|' + item.fileName + '|') == line.find('|'); }, true));
    FUZZ_CHECK(listed.Next(
        [&](auto line) {
          return line == reparse || (line.rfind(reparse + '|', 0) == 0 &&
                                     line.find('|', reparse.size() + 1) == line.npos);
        },
        true));
  }
  return 0;
}
