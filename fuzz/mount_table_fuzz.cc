// The platform's mount table parser over a table made of the input: koReadMntTab, KoMntTab::getAll
// and TRHSMMntTab agree; a valid table gives one entry per non-blank line, a malformed one nothing;
// the entries written back as a table ("\ooo" for blanks and backslashes) read back the same.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"

namespace {

std::string Table() { return trhsm_fuzz::Scratch() + "/mounts"; }

std::string Escaped(const std::string& field) {
  std::string out;
  for (unsigned char c : field) {
    const bool plain = c != ' ' && c != '\t' && c != '\n' && c != '\\';
    out += plain ? std::string(1, static_cast<char>(c))
                 : std::string{'\\', char('0' + c / 64), char('0' + c / 8 % 8), char('0' + c % 8)};
  }
  return out;
}

template <typename E>
std::string Row(const E& e) {
  return Escaped(e.device) + " " + Escaped(e.mountPoint) + " " + Escaped(e.fsType) + " " +
         Escaped(e.auxText) + (e.auxFlag ? " ro" : " rw");
}

// The entries of the table as one text per entry, or none when koReadMntTab refuses the table.
std::vector<std::string> Read(bool* valid) {
  char error[64];
  std::memset(error, 'x', sizeof error);
  KoMntEntry* head = koReadMntTab(error, sizeof error);
  FUZZ_CHECK(head != nullptr || std::memchr(error, 0, sizeof error) != nullptr);
  std::vector<std::string> rows;
  for (KoMntEntry* r = head; r != nullptr;) {
    for (const char* field : {r->device, r->mountPoint, r->fsType, r->auxText}) {
      FUZZ_CHECK(std::memchr(field, 0, field == r->device || field == r->mountPoint ? 1024 : 256));
    }
    rows.push_back(Row(*r));
    KoMntEntry* next = r->next;
    std::free(r);
    r = next;
  }
  *valid = head != nullptr;
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("0");
  setenv("KO_MOUNT_TABLE", Table().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = trhsm_fuzz::Text(data, size);
  trhsm_fuzz::WriteWhole(Table(), text);
  bool valid = false;
  const std::vector<std::string> rows = Read(&valid);
  size_t lines = 0;
  for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
    nl = std::min(text.find('\n', at), text.size());
    lines += text.substr(at, nl - at).find_first_not_of(" \t") != text.npos;
  }
  FUZZ_CHECK(!valid || rows.size() == lines);

  std::list<KoMntTab::Entry> entries;
  FUZZ_CHECK(KoMntTab::getAll(entries).IsError() == !valid && entries.size() == rows.size());
  size_t n = 0;
  for (const KoMntTab::Entry& e : entries) FUZZ_CHECK(Row(e) == rows[n++]);
  try {
    const TRHSMMntTab table;
    FUZZ_CHECK(valid && table.getAll().size() == rows.size());
    n = 0;
    for (const TRHSMMntTab::Entry& e : table.getAll()) {
      FUZZ_CHECK(Row(e) == rows[n++]);
      // The entry holding a mount point's own path is a mount point leading it.
      const TRHSMMntTab::Entry* holder =
          e.mountPoint.empty() ? &e : table.find(e.mountPoint.c_str());
      FUZZ_CHECK(holder &&
                 e.mountPoint.compare(0, holder->mountPoint.size(), holder->mountPoint) == 0);
    }
  } catch (const KoException&) {
    FUZZ_CHECK(!valid);
  }
  if (!valid) return 0;
  // Written back (options standing in for the read-only flag), the table reads back the same.
  std::string again;
  for (const std::string& row : rows) again += row.substr(0, row.size() - 3) + " 0 0\n";
  trhsm_fuzz::WriteWhole(Table(), again);
  bool validAgain = false;
  FUZZ_CHECK(Read(&validAgain) == rows && validAgain);
  return 0;
}
