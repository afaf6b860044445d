// The platform's mount table parser over a table made of the input: koReadMntTab, KoMntTab::getAll
// and TRHSMMntTab must agree with an independent reading of the table, field for field, so no
// entry ever holds a byte from outside its field, and a malformed line fails the whole read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"

namespace {

using trhsm_fuzz::Check;

struct Row {
  std::string field[4];  // device, mount point, type, options
};

std::string TablePath() { return trhsm_fuzz::ScratchFolder() + "/mounts"; }

bool Blank(char c) { return c == ' ' || c == '\t'; }
bool Octal(char c) { return c >= '0' && c <= '7'; }

// "\ooo" of 001 to 377 is that byte; \000 and values above a byte are refused.
bool Decode(std::string_view raw, std::string* out) {
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && raw.size() - i >= 4 && Octal(raw[i + 1]) && Octal(raw[i + 2]) &&
        Octal(raw[i + 3])) {
      const int v = (raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + (raw[i + 3] - '0');
      if (v == 0 || v > 255) return false;
      out->push_back(static_cast<char>(v));
      i += 3;
    } else {
      out->push_back(raw[i]);
    }
  }
  return true;
}

bool Number(std::string_view s) { return s.find_first_not_of("0123456789") == s.npos; }

// The table's rows, or false when any line is malformed or a field does not fit its record.
bool Reference(std::string_view text, std::vector<Row>* rows) {
  static const size_t kLimits[4] = {1023, 1023, 255, 255};  // device, mount point, type, options
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == text.npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    std::vector<std::string_view> fields;
    for (size_t i = 0; i < line.size();) {
      if (Blank(line[i])) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < line.size() && !Blank(line[j])) ++j;
      fields.push_back(line.substr(i, j - i));
      i = j;
    }
    if (fields.empty()) continue;
    if (fields.size() < 4 || fields.size() > 6) return false;
    for (size_t f = 4; f < fields.size(); ++f) {
      if (!Number(fields[f])) return false;
    }
    Row row;
    for (size_t f = 0; f < 4; ++f) {
      if (fields[f].find('\0') != fields[f].npos) return false;  // would end the text early
      if (!Decode(fields[f], &row.field[f]) || row.field[f].size() > kLimits[f]) return false;
    }
    rows->push_back(std::move(row));
  }
  return !rows->empty();
}

bool ReadOnly(const std::string& options) {
  size_t start = 0;
  for (;;) {
    const size_t comma = options.find(',', start);
    if (options.substr(start, comma == options.npos ? comma : comma - start) == "ro") return true;
    if (comma == options.npos) return false;
    start = comma + 1;
  }
}

// One record's fields against the reference row; every text must end inside its field.
void CheckRecord(const KoMntEntry& r, const Row& row) {
  Check(std::memchr(r.device, 0, sizeof r.device) != nullptr, "device not terminated");
  Check(std::memchr(r.mountPoint, 0, sizeof r.mountPoint) != nullptr, "mount point not terminated");
  Check(std::memchr(r.fsType, 0, sizeof r.fsType) != nullptr, "type not terminated");
  Check(std::memchr(r.auxText, 0, sizeof r.auxText) != nullptr, "options not terminated");
  Check(row.field[0] == r.device && row.field[1] == r.mountPoint && row.field[2] == r.fsType &&
            row.field[3] == r.auxText,
        "record fields differ from the table's fields");
  Check((r.auxFlag != 0) == ReadOnly(row.field[3]), "read-only flag differs from the options");
}

template <typename E>
void CheckEntry(const E& e, const Row& row) {
  Check(e.device == row.field[0] && e.mountPoint == row.field[1] && e.fsType == row.field[2] &&
            e.auxText == row.field[3] && e.auxFlag == ReadOnly(row.field[3]),
        "entry differs from the table's fields");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::QuietLogs("0");
  setenv("KO_MOUNT_TABLE", TablePath().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  trhsm_fuzz::WriteWhole(TablePath(), data, size);
  std::vector<Row> rows;
  const bool valid = Reference(text, &rows);

  char error[64];
  std::memset(error, 'x', sizeof error);
  KoMntEntry* head = koReadMntTab(error, sizeof error);
  size_t n = 0;
  for (KoMntEntry* r = head; r != nullptr; ++n) {
    Check(n < rows.size(), "more records than table lines");
    CheckRecord(*r, rows[n]);
    KoMntEntry* next = r->next;
    std::free(r);
    r = next;
  }
  Check(valid ? n == rows.size() : head == nullptr, "koReadMntTab disagrees with the table");
  Check(head != nullptr || std::memchr(error, 0, sizeof error) != nullptr,
        "error text not terminated within its buffer");

  std::list<KoMntTab::Entry> entries;
  const CZeError result = KoMntTab::getAll(entries);
  Check(result.IsError() == !valid, "KoMntTab::getAll disagrees with the table");
  Check(entries.size() == (valid ? rows.size() : 0), "KoMntTab::getAll entry count");
  n = 0;
  for (const KoMntTab::Entry& e : entries) CheckEntry(e, rows[n++]);

  try {
    const TRHSMMntTab table;
    Check(valid, "TRHSMMntTab built from a malformed table");
    const std::list<TRHSMMntTab::Entry> all = table.getAll();
    Check(all.size() == rows.size(), "TRHSMMntTab entry count");
    n = 0;
    for (const TRHSMMntTab::Entry& e : all) {
      CheckEntry(e, rows[n++]);
      if (e.mountPoint.empty()) continue;
      // The entry that holds a mount point's own path is a mount point leading that path.
      const TRHSMMntTab::Entry* holder = table.find(e.mountPoint.c_str());
      Check(holder != nullptr &&
                e.mountPoint.compare(0, holder->mountPoint.size(), holder->mountPoint) == 0,
            "find() answers a mount point that does not lead the path");
    }
  } catch (const KoException&) {
    Check(!valid, "TRHSMMntTab refused a valid table");
  }
  return 0;
}
