// The mount table parsers (byte 0 even) agree and read back what they wrote; each migrated tree
// (odd) comes from a whole line, and the list saved reads back the same.
#include "fuzz/fuzz_check.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMigratedDirTrees.h"
#include "trhsm/TRHSMMntTab.h"

template <typename E>  // fields joined by NULs, which no field holds, for the blanks between
std::string Row(const E& e) {
  std::string row;
  for (const char c :
       std::string(e.device) + '\0' + e.mountPoint + '\0' + e.fsType + '\0' + e.auxText) {
    char text[5] = {c ? c : ' '};
    if (c && std::strchr(" \t\n\\", c)) std::snprintf(text, sizeof text, "\\%03o", c);
    row += text;
  }
  return row + (e.auxFlag ? " 1\n" : " 0\n");
}

// The table's entries as rows, or none when koReadMntTab refuses it.
std::string Read(std::string_view text) {
  trhsm_fuzz::SetFile("KO_MOUNT_TABLE", "mounts", text);
  std::string error(64, 'x'), rows;
  KoMntEntry* r = koReadMntTab(&error[0], error.size());
  FUZZ_CHECK(r != nullptr || error.find('\0') != error.npos);
  for (KoMntEntry* next; r != nullptr; std::free(r), r = next) {
    FUZZ_CHECK(std::memchr(r->device, 0, 1024) && std::memchr(r->mountPoint, 0, 1024) &&
               std::memchr(r->fsType, 0, 256) && std::memchr(r->auxText, 0, 256));
    rows += Row(*r), next = r->next;
  }
  return rows;
}

void Table(const uint8_t* data, size_t size) {
  const std::string_view text = trhsm_fuzz::Text(data, size);
  const std::string rows = Read(text);
  long lines = 0;
  trhsm_fuzz::ForLines(text,
                       [&](auto line) { lines += line.find_first_not_of(" \t") != line.npos; });
  FUZZ_CHECK(rows.empty() || std::count(rows.begin(), rows.end(), '\n') == lines);
  std::list<KoMntTab::Entry> entries;
  std::string same;
  FUZZ_CHECK(KoMntTab::getAll(entries).IsError() == rows.empty());
  for (const KoMntTab::Entry& e : entries) same += Row(e);
  try {
    for (const TRHSMMntTab::Entry& e : TRHSMMntTab().getAll()) same += Row(e);
  } catch (const KoException&) {
  }
  FUZZ_CHECK(same == rows + rows && (rows.empty() || Read(rows) == rows));
}

namespace mg = trhsm::migrated;

static const int kSetUp =
    ::mkdir(trhsm_fuzz::Path("results").c_str(), 0755) |
    trhsm_fuzz::SetFile("KO_REGISTRY", "registry",
                        "[Machines/client1]\ndJOB_RESULTS_DIR=" + trhsm_fuzz::Path("results\n"));

void Trees(const uint8_t* data, size_t size) {  // byte 0 bit 0: held mode, else transactions
  if (size == 0) return;
  trhsm_fuzz::SetFile("KO_MOUNT_TABLE", "mounts", "rootdev / ext4 rw 0 0\n");
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
}

FUZZ_PARTS(Table, Trees)
