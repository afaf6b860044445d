// The platform's mount table: koReadMntTab parses the kernel's table (or the file KO_MOUNT_TABLE
// names) into malloc'ed records, and KoMntTab wraps it in C++ values.
//
// A line holds 4 to 6 fields separated by blanks or tabs: device, mount point, type, options and
// the optional two numbers (which must then be unsigned decimals). Blank lines are skipped. In the
// text fields "\ooo" (three octal digits, 001 to 377) stands for that byte, "\000", a value above
// 377 or a NUL byte make the line malformed, and any other backslash is kept as it is. Any other
// line is malformed and fails the whole read, naming its line number: the table is a host fact,
// and handing out a part of it would make paths look unmounted.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "trhsm/KoFile.h"
#include "trhsm/KoMntTab.h"

namespace {

constexpr const char kDefaultTable[] = "/proc/self/mounts";

std::string TablePath() {
  const char* env = std::getenv("KO_MOUNT_TABLE");
  return (env != nullptr && env[0] != '\0') ? env : kDefaultTable;
}

// Closes the descriptor on every way out, an allocation failure included.
struct FdGuard {
  int fd;
  ~FdGuard() { ::close(fd); }
};

// Reads the whole file; false with *error set when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
  const int fd = open_utf(path.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    *error = "Cannot open mount table " + path + ": " + std::strerror(errno);
    return false;
  }
  const FdGuard guard{fd};
  content->clear();
  // Files under /proc report size 0, so read until the end instead of trusting fstat.
  char chunk[16384];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "Cannot read mount table " + path + ": " + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    content->append(chunk, static_cast<size_t>(n));
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// Decodes the octal escapes of one field; false when an escape stands for NUL or for a value above
// one byte, since that byte cannot be carried in a NUL-terminated text.
bool Unescape(const std::string& raw, std::string* out) {
  out->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 3 < raw.size() && IsOctal(raw[i + 1]) && IsOctal(raw[i + 2]) &&
        IsOctal(raw[i + 3])) {
      int value = (raw[i + 1] - '0') * 64 + (raw[i + 2] - '0') * 8 + (raw[i + 3] - '0');
      if (value == 0 || value > 0377) return false;
      out->push_back(static_cast<char>(value));
      i += 3;
    } else {
      out->push_back(raw[i]);
    }
  }
  return true;
}

// `s` is a field of the split below, so never empty.
bool IsUnsignedDecimal(const std::string& s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// True when the comma-separated options hold the option "ro".
bool IsReadOnly(const std::string& options) {
  size_t start = 0;
  for (;;) {
    size_t end = options.find(',', start);
    if (options.compare(start, end == std::string::npos ? end : end - start, "ro") == 0) {
      return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

void FreeChain(KoMntEntry* head) {
  while (head != nullptr) {
    KoMntEntry* next = head->next;
    std::free(head);
    head = next;
  }
}

struct ChainDeleter {
  void operator()(KoMntEntry* head) const { FreeChain(head); }
};
using Chain = std::unique_ptr<KoMntEntry, ChainDeleter>;

// Copies `value` into a fixed field of `size` bytes; false when it does not fit with its NUL.
bool CopyField(char* field, size_t size, const std::string& value) {
  if (value.size() >= size) return false;
  std::memcpy(field, value.c_str(), value.size() + 1);
  return true;
}

// Parses one non-blank line into a fresh record; null with *error set on a malformed line or a
// field that does not fit.
Chain ParseLine(const std::string& line, const std::string& path, int lineNumber,
                std::string* error) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    fields.push_back(line.substr(start, i - start));
  }
  const std::string where = "Mount table " + path + " line " + std::to_string(lineNumber);
  if (fields.size() < 4 || fields.size() > 6) {
    *error = where + " is malformed: " + std::to_string(fields.size()) +
             " fields where 4 to 6 were expected";
    return nullptr;
  }
  for (size_t f = 4; f < fields.size(); ++f) {
    if (!IsUnsignedDecimal(fields[f])) {
      *error = where + " is malformed: field " + std::to_string(f + 1) + " is not a number";
      return nullptr;
    }
  }
  static const char* const kNames[] = {"device", "mount point", "type", "options"};
  std::string decoded[4];
  for (int f = 0; f < 4; ++f) {
    // A NUL byte would end the field's text early, so the record would name another path.
    if (fields[static_cast<size_t>(f)].find('\0') != std::string::npos) {
      *error = where + " is malformed: a NUL byte in the " + kNames[f];
      return nullptr;
    }
    if (!Unescape(fields[static_cast<size_t>(f)], &decoded[f])) {
      *error = where + " is malformed: bad escape in the " + kNames[f];
      return nullptr;
    }
  }

  Chain record(static_cast<KoMntEntry*>(std::calloc(1, sizeof(KoMntEntry))));
  if (record == nullptr) {
    *error = "Out of memory reading mount table " + path;
    return nullptr;
  }
  struct Target {
    char* field;
    size_t size;
    const std::string* value;
    const char* name;
  } targets[] = {
      {record->device, sizeof record->device, &decoded[0], kNames[0]},
      {record->mountPoint, sizeof record->mountPoint, &decoded[1], kNames[1]},
      {record->fsType, sizeof record->fsType, &decoded[2], kNames[2]},
      {record->auxText, sizeof record->auxText, &decoded[3], kNames[3]},
  };
  for (const Target& t : targets) {
    // A cut path would name another file, so refuse the table rather than shorten it.
    if (!CopyField(t.field, t.size, *t.value)) {
      *error = where + ": the " + t.name + " is too long (" + std::to_string(t.value->size()) +
               " bytes, at most " + std::to_string(t.size - 1) + ")";
      return nullptr;
    }
  }
  record->auxFlag = IsReadOnly(decoded[3]) ? 1 : 0;
  return record;
}

// The whole chain, or null with *error set.
Chain ReadTable(std::string* error) {
  const std::string path = TablePath();
  std::string content;
  if (!ReadWholeFile(path, &content, error)) return nullptr;

  Chain head;
  KoMntEntry* last = nullptr;
  int lineNumber = 0;
  size_t pos = 0;
  while (pos < content.size()) {
    size_t end = content.find('\n', pos);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    bool blank = true;
    for (char c : line) blank = blank && IsBlank(c);
    if (blank) continue;
    Chain record = ParseLine(line, path, lineNumber, error);
    if (record == nullptr) return nullptr;
    KoMntEntry* appended = record.release();
    if (last == nullptr) {
      head.reset(appended);
    } else {
      last->next = appended;
    }
    last = appended;
  }
  if (head == nullptr) *error = "Mount table " + path + " holds no entries";
  return head;
}

}  // namespace

extern "C" KoMntEntry* koReadMntTab(char* errorBuffer, int errorBufferSize) {
  std::string error;
  Chain head;
  try {
    head = ReadTable(&error);
  } catch (const std::exception& e) {
    // A C interface must not let an exception out; report it like any other failure.
    error = std::string("Cannot read mount table: ") + e.what();
  }
  if (head == nullptr && errorBuffer != nullptr && errorBufferSize > 0) {
    std::snprintf(errorBuffer, static_cast<size_t>(errorBufferSize), "%s", error.c_str());
  }
  return head.release();
}

CZeError KoMntTab::getAll(std::list<Entry>& entries) {
  entries.clear();
  std::string error;
  Chain head = ReadTable(&error);
  if (head == nullptr) return CZeError(-1, error);
  for (const KoMntEntry* r = head.get(); r != nullptr; r = r->next) {
    Entry e;
    e.device.assign(r->device, strnlen(r->device, sizeof r->device));
    e.mountPoint.assign(r->mountPoint, strnlen(r->mountPoint, sizeof r->mountPoint));
    e.auxFlag = r->auxFlag != 0;
    e.auxText.assign(r->auxText, strnlen(r->auxText, sizeof r->auxText));
    e.fsType.assign(r->fsType, strnlen(r->fsType, sizeof r->fsType));
    entries.push_back(std::move(e));
  }
  return CZeError();
}

const KoMntTab::Entry* KoMntTab::find(const std::list<Entry>& entries, const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  const size_t pathLength = std::strlen(path);
  const Entry* best = nullptr;
  size_t bestLength = 0;
  for (const Entry& e : entries) {
    const std::string& mp = e.mountPoint;
    // The mount point with a "/" after it, unless it ends in one, so /home does not hold /home2.
    const bool slash = !mp.empty() && mp.back() == '/';
    const size_t candidateLength = mp.size() + (slash ? 0 : 1);
    bool holds = pathLength == mp.size() && mp.compare(0, mp.size(), path, pathLength) == 0;
    if (!holds && pathLength >= candidateLength && std::memcmp(path, mp.data(), mp.size()) == 0) {
      holds = slash || path[mp.size()] == '/';
    }
    if (holds && candidateLength > bestLength) {
      best = &e;
      bestLength = candidateLength;
    }
  }
  return best;
}
