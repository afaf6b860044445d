// The platform's mount table parser over a table made of the input: koReadMntTab, KoMntTab::getAll
// and TRHSMMntTab agree; a valid table gives one entry per non-blank line, a malformed one none;
// the entries written back as a table ("\ooo" for blanks and backslashes) read back the same.
#include <list>

#include "fuzz/fuzz_check.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"

namespace {

std::string Escaped(const std::string& field) {
  std::string out;
  for (unsigned char c : field) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      out += {'\\', static_cast<char>('0' + c / 64), static_cast<char>('0' + c / 8 % 8)};
      c = '0' + c % 8;
    }
    out += static_cast<char>(c);
  }
  return out;
}

template <typename E>
std::string Row(const E& e) {
  return Escaped(e.device) + " " + Escaped(e.mountPoint) + " " + Escaped(e.fsType) + " " +
         Escaped(e.auxText) + (e.auxFlag ? " 1\n" : " 0\n");
}

// The table's entries as rows, or none when koReadMntTab refuses it.
std::string Read(const std::string& path, std::string_view text) {
  trhsm_fuzz::WriteWhole(path, text);
  char error[64];
  std::memset(error, 'x', sizeof error);
  std::string rows;
  KoMntEntry* r = koReadMntTab(error, sizeof error);
  FUZZ_CHECK(r != nullptr || std::memchr(error, 0, sizeof error) != nullptr);
  for (KoMntEntry* next; r != nullptr; std::free(r), r = next) {
    FUZZ_CHECK(std::memchr(r->device, 0, 1024) && std::memchr(r->mountPoint, 0, 1024) &&
               std::memchr(r->fsType, 0, 256) && std::memchr(r->auxText, 0, 256));
    rows += Row(*r);
    next = r->next;
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return setenv("KO_MOUNT_TABLE", (trhsm_fuzz::Scratch() + "/mounts").c_str(), 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = trhsm_fuzz::Text(data, size);
  const std::string rows = Read(getenv("KO_MOUNT_TABLE"), text);
  size_t lines = 0;
  for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
    nl = std::min(text.find('\n', at), text.size());
    lines += text.substr(at, nl - at).find_first_not_of(" \t") != text.npos;
  }
  FUZZ_CHECK(rows.empty() ||
             std::count(rows.begin(), rows.end(), '\n') == static_cast<long>(lines));
  std::list<KoMntTab::Entry> entries;
  std::string same;
  FUZZ_CHECK(KoMntTab::getAll(entries).IsError() == rows.empty());
  for (const KoMntTab::Entry& e : entries) same += Row(e);
  try {
    const TRHSMMntTab table;
    for (const TRHSMMntTab::Entry& e : table.getAll()) same += Row(e);
  } catch (const KoException&) {
  }
  FUZZ_CHECK(same == rows + rows);
  // Written back (the read-only flag as the options), the table reads back the same.
  FUZZ_CHECK(rows.empty() || Read(getenv("KO_MOUNT_TABLE"), rows) == rows);
  return 0;
}
