// The migrated-tree list read back through TRHSMMigratedDirTrees from a list file made of the
// input: every tree it reports must be the path of one whole, well-formed record line
// ("1|<path>|", what follows the closing '|' ignored), in file order, and the list it saves again
// must read back as the same trees.
//
// Input: byte 0 bit 0 picks held mode (lock for the object's life, write back at the end) over
// transaction mode; the rest is the list file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_fuzz::Check;

std::string Results() { return trhsm_fuzz::ScratchFolder() + "/results"; }
std::string ListPath() { return Results() + "/HSMMNTLIST"; }

// Whether `line` (without its line feed) is a record of `tree` that a reader may take whole.
bool RecordOf(std::string_view line, bool hasLineFeed, const std::string& tree) {
  // A reader's buffer holds 4095 bytes of a line, its line feed included.
  if (line.size() + (hasLineFeed ? 1 : 0) > 4095) return false;
  if (tree.empty() || tree.find('\0') != tree.npos || tree.find('|') != tree.npos) return false;
  const std::string head = "1|" + tree + "|";
  return line.compare(0, head.size(), head) == 0;
}

// Checks that `trees` come, in order, from distinct record lines of `text`.
void CheckFromRecords(std::string_view text, const std::list<std::string>& trees) {
  size_t start = 0;
  for (const std::string& tree : trees) {
    bool found = false;
    while (!found && start < text.size()) {
      size_t end = text.find('\n', start);
      const bool lineFeed = end != text.npos;
      if (!lineFeed) end = text.size();
      found = RecordOf(text.substr(start, end - start), lineFeed, tree);
      start = end + 1;
    }
    Check(found, "tree reported from no whole, well-formed record line");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::PreferMemoryScratch();  // every save syncs the file and its folder
  trhsm_fuzz::QuietLogs("0");
  const std::string scratch = trhsm_fuzz::ScratchFolder();
  ::mkdir(Results().c_str(), 0755);
  trhsm_fuzz::WriteWhole(scratch + "/mounts", std::string("rootdev / ext4 rw 0 0\n"));
  trhsm_fuzz::WriteWhole(scratch + "/registry",
                         "[Machines/client1]\ndJOB_RESULTS_DIR=" + Results() + "\n");
  setenv("KO_MOUNT_TABLE", (scratch + "/mounts").c_str(), 1);
  setenv("KO_REGISTRY", (scratch + "/registry").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool held = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  trhsm_fuzz::WriteWhole(ListPath(), text.data(), text.size());

  std::list<std::string> trees;
  {
    TRHSMMigratedDirTrees list(held, "client1");
    trees = list.getDirList();
    CheckFromRecords(text, trees);
    // The codec answers the same as the object.
    Check(trhsm::migrated::ParseTreeList(std::string(text), nullptr) == trees,
          "ParseTreeList disagrees with loadList");
    // Transaction mode reads the file again (and logs each damaged line again) for every query:
    // one tree tells enough there; held mode answers from memory.
    const int queryLimit = held ? 8 : 1;
    int queries = 0;
    for (const std::string& tree : trees) {
      if (tree[0] != '/' || ++queries > queryLimit) continue;
      std::string holder;
      // A recorded absolute tree holds itself; the first holder is a recorded tree leading it.
      Check(list.wasDirMigrated(tree.c_str(), &holder), "a recorded tree does not hold itself");
      // Trailing slashes of the holder do not count ("//" is the root).
      size_t lead = holder.size();
      while (lead > 1 && holder[lead - 1] == '/') --lead;
      Check(tree.compare(0, lead, holder, 0, lead) == 0, "holder does not lead the tree");
    }
    if (!held) list.saveList();
  }
  // Held mode wrote the list back on destruction, transaction mode by saveList: either way the
  // file now holds exactly the trees read.
  const std::string saved = trhsm::migrated::ReadListFile(ListPath(), "fuzz");
  Check(trhsm::migrated::ParseTreeList(saved, nullptr) == trees,
        "the saved list reads back differently");
  ::unlink(ListPath().c_str());
  return 0;
}
