// The migrated-tree list read through TRHSMMigratedDirTrees from a list file made of the input:
// every tree comes, in order, from a whole record line "1|<tree>|..." of at most 4095 bytes with
// its line feed, and the list saved again reads back as the same trees. Input: byte 0 bit 0 held
// mode (locked for the object's life, written back at its end) over transaction mode; the rest is
// the list file.
#include <list>

#include "fuzz/fuzz_check.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string scratch = trhsm_fuzz::Scratch();
  ::mkdir((scratch + "/results").c_str(), 0755);
  trhsm_fuzz::WriteWhole(scratch + "/mounts", "rootdev / ext4 rw 0 0\n");
  trhsm_fuzz::WriteWhole(scratch + "/registry",
                         "[Machines/client1]\ndJOB_RESULTS_DIR=" + scratch + "/results\n");
  setenv("KO_MOUNT_TABLE", (scratch + "/mounts").c_str(), 1);
  setenv("KO_REGISTRY", (scratch + "/registry").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool held = data[0] & 1;
  const std::string text(trhsm_fuzz::Text(data + 1, size - 1)), ended = text + "\n";
  const std::string path = trhsm_fuzz::Scratch() + "/results/HSMMNTLIST";
  trhsm_fuzz::WriteWhole(path, text);
  std::list<std::string> trees;
  {
    TRHSMMigratedDirTrees list(held, "client1");
    trees = list.getDirList();
    FUZZ_CHECK(trhsm::migrated::ParseTreeList(text, nullptr) == trees);
    trhsm_fuzz::WholeLines lines(ended, 4094);  // the last line may lack its line feed
    for (const std::string& tree : trees) {
      FUZZ_CHECK(!tree.empty() && tree.find_first_of(std::string("|\0", 2)) == tree.npos);
      FUZZ_CHECK(
          lines.Next([&](std::string_view line) { return line.rfind("1|" + tree + "|", 0) == 0; }));
    }
    if (!held) list.saveList();
  }
  FUZZ_CHECK(trhsm::migrated::ParseTreeList(trhsm::migrated::ReadListFile(path, "fuzz"), nullptr) ==
             trees);
  ::unlink(path.c_str());
  return 0;
}
