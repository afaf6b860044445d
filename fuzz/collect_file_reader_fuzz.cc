// The direct reader over a stub collect file and a stub list made of the input: it must pair the
// n-th whole timed line with the n-th whole stub-list line, and stop at the first line of either
// that is cut, too long or no timed line, never handing out an item built from such a line.
//
// Input: bytes 0-1 (little-endian) the length of the stub collect file, which follows; the rest
// is the stub list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

using trhsm_fuzz::Check;

struct Expected {
  std::string name;
  long time = 0;
  std::string reparse;
  unsigned long inode = ~0UL;
};

// The lines of `text` that end in a newline; a last line without one is left out.
std::vector<std::string_view> Terminated(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != text.npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The name and time of a timed line "... | name | time | ...", split at the last two '|'.
bool TimedLine(std::string_view line, Expected* e) {
  const size_t first = line.find('|');
  if (first == line.npos) return false;
  const std::string_view rest = line.substr(first + 1);
  // The rest and its newline fit the 2047 bytes of a timed line.
  if (rest.find('\0') != rest.npos || rest.size() + 1 > 2047) return false;
  const size_t last = rest.rfind('|');
  if (last == rest.npos || last == 0) return false;
  const size_t beforeTime = rest.rfind('|', last - 1);
  if (beforeTime == rest.npos) return false;
  e->name.assign(rest.substr(0, beforeTime));
  const std::string time(rest.substr(beforeTime + 1, last - beforeTime - 1));
  e->time = std::strtol(time.c_str(), nullptr, 10);
  return true;
}

// "reparse|inode" or the reparse text alone, at most 1023 bytes and no NUL.
bool ListLine(std::string_view line, Expected* e) {
  if (line.size() > 1023 || line.find('\0') != line.npos) return false;
  const size_t bar = line.rfind('|');
  e->reparse.assign(line.substr(0, bar));
  if (bar != line.npos) {
    const std::string inode(line.substr(bar + 1));
    e->inode = static_cast<unsigned long>(std::strtoll(inode.c_str(), nullptr, 10));
  }
  return true;
}

std::vector<Expected> ExpectedItems(std::string_view collect, std::string_view list) {
  const std::vector<std::string_view> timed = Terminated(collect);
  const std::vector<std::string_view> listed = Terminated(list);
  std::vector<Expected> items;
  for (size_t i = 0; i < timed.size() && i < listed.size(); ++i) {
    Expected e;
    if (!TimedLine(timed[i], &e) || !ListLine(listed[i], &e)) break;
    items.push_back(std::move(e));
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("7");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view body(reinterpret_cast<const char*>(data) + 2, size - 2);
  size_t split = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
  if (split > body.size()) split = body.size();
  const std::string_view collect = body.substr(0, split);
  const std::string_view list = body.substr(split);

  // The record is large (some 60 KB): one kept for all runs, its fields set afresh in each.
  static TRHSM_CMDLINE_ARGS args;
  args.stubFileName = trhsm_fuzz::ScratchFolder() + "/stub_collect.kof";
  args.stubListName = trhsm_fuzz::ScratchFolder() + "/stub_list.txt";
  trhsm_fuzz::WriteWhole(args.stubFileName, collect.data(), collect.size());
  trhsm_fuzz::WriteWhole(args.stubListName, list.data(), list.size());

  const std::vector<Expected> expected = ExpectedItems(collect, list);
  EvEvent events;
  TRHSMCollectFileReader reader(args, events);
  Check(reader.Initialize() == 1, "Initialize");
  Check(reader.Open() == 1, "Open");
  for (size_t n = 0;; ++n) {
    HSMCollectFile item;
    std::string reparse, meta = "untouched", status = "stale";
    unsigned long inode = 0;
    long long fileSize = 0;
    const int rc = reader.GetItem(item, reparse, meta, inode, fileSize, status);
    if (rc == 0) {
      Check(n == expected.size(), "the reader stopped before a whole pair of lines");
      break;
    }
    Check(rc == 1, "GetItem result other than 1 or 0");
    Check(n < expected.size(), "item yielded from a cut or damaged line");
    const Expected& e = expected[n];
    Check(item.fileName == e.name, "item name differs from its timed line");
    Check(item.itemTime == e.time, "item time differs from its timed line");
    Check(reparse == e.reparse, "reparse text differs from its stub-list line");
    Check(inode == e.inode, "inode differs from its stub-list line");
    Check(meta == "untouched" && fileSize == -1 && status.empty(),
          "outputs the reader does not set");
  }
  return 0;
}
