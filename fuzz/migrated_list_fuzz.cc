// The migrated-tree list; byte 0 bit 0: held mode (locked, saved at its end), else transactions.
#include "fuzz/fuzz_check.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace mg = trhsm::migrated;

static const int kSetUp =
    ::mkdir(trhsm_fuzz::Path("results").c_str(), 0755) |
    trhsm_fuzz::SetFile("KO_MOUNT_TABLE", "mounts", "rootdev / ext4 rw 0 0\n") |
    trhsm_fuzz::SetFile("KO_REGISTRY", "registry",
                        "[Machines/client1]\ndJOB_RESULTS_DIR=" + trhsm_fuzz::Path("results\n"));

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string text(trhsm_fuzz::Text(data + 1, size - 1)), ended = text + "\n";
  const std::string path = trhsm_fuzz::Write("results/HSMMNTLIST", text);
  std::list<std::string> trees;
  {
    TRHSMMigratedDirTrees list(data[0] & 1, "client1");
    trees = list.getDirList();
    FUZZ_CHECK(mg::ParseTreeList(text, nullptr) == trees);
    trhsm_fuzz::WholeLines lines{ended, 4094};  // the last line may lack its line feed
    for (const std::string& tree : trees)
      FUZZ_CHECK(!tree.empty() && tree.find_first_of(std::string("|\0", 2)) == tree.npos &&
                 lines.Next([&](auto line) { return line.rfind("1|" + tree + "|", 0) == 0; }));
    if (!(data[0] & 1)) list.saveList();
  }
  FUZZ_CHECK(mg::ParseTreeList(mg::ReadListFile(path, "fuzz"), nullptr) == trees);
  ::unlink(path.c_str());
  return 0;
}
