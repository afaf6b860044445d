// trhsm-stub: writes stub records and shows what stub files hold.
//   trhsm-stub encode --value N --metadata TEXT [--force] FILE
//   trhsm-stub show [--json] FILE...
// Exit status: 0 done, 1 a file was refused or could not be written, 2 usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stub/record_codec.h"
#include "stub/record_format.h"
#include "stub/reparse_data.h"
#include "tools/report_text.h"
#include "tools/text_escape.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace sr = trhsm::stub_record;
using trhsm_tools::Bytes;
using trhsm_tools::Count;
using trhsm_tools::CQuote;
using trhsm_tools::JsonQuote;

constexpr int kUsageError = 2;

constexpr char kEncodeUsage[] =
    "usage: trhsm-stub encode --value N --metadata TEXT [--force] FILE\n"
    "\n"
    "Writes one stub record holding the value N and the metadata TEXT to FILE.\n"
    "\n"
    "  --value N        the record's value, a signed 64-bit integer (decimal, 0x... hexadecimal\n"
    "                   or 0... octal)\n"
    "  --metadata TEXT  the record's metadata, not empty; usually a reparse text such as\n"
    "                   1:3:7:8:9:1:4:/x/f|1700000000\n"
    "  --force          replace FILE when it exists (atomically: the record is written beside it\n"
    "                   and renamed over it); without it an existing FILE is kept and refused\n"
    "  --               end of the options: the next word is FILE even if it starts with '-'\n"
    "  -h, --help       print this usage and exit\n";

constexpr char kShowUsage[] =
    "usage: trhsm-stub show [--json] FILE...\n"
    "\n"
    "Verifies each FILE as a stub record and prints its record length, value and metadata (and\n"
    "the reparse fields when the metadata is a reparse text), or why it was refused. With several\n"
    "files a summary line follows.\n"
    "\n"
    "  --json       one JSON object per line: for each FILE {\"file\", \"ok\": true,\n"
    "               \"recordLength\", \"value\", \"metadata\", \"reparse\"} or {\"file\",\n"
    "               \"ok\": false, \"error\"}, then {\"summary\": true, \"files\", \"valid\",\n"
    "               \"refused\"}; bytes of a name that are not UTF-8 appear as \\udcXX\n"
    "  --           end of the options: every later word is a FILE\n"
    "  -h, --help   print this usage and exit\n";

constexpr char kCommands[] =
    "usage: trhsm-stub encode --value N --metadata TEXT [--force] FILE\n"
    "       trhsm-stub show [--json] FILE...\n"
    "       trhsm-stub COMMAND --help\n"
    "\n"
    "Writes stub records (encode) and verifies and shows what stub files hold (show).\n"
    "\n";

constexpr char kExitStatus[] =
    "\n"
    "Exit status: 0 done; 1 a FILE was refused, could not be written, or standard output could\n"
    "not be written; 2 usage error.\n";

// Flushes standard output: 0, or 1 (after saying why) when it could not be written.
int FinishOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "trhsm-stub: write standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

int Help(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return FinishOutput();
}

// One line that names what is wrong, then the usage of the command, on standard error.
int UsageError(const std::string& problem, const char* usage) {
  std::fprintf(stderr, "trhsm-stub: %s\n%s", problem.c_str(), usage);
  return kUsageError;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

std::string SysError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int CloseChecked(int fd) {
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone either way.
  return ::close(fd);
}

std::string DirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes `bytes` to `path`. Without `replace` the file must not exist yet. With it, the bytes go to
// a temporary file beside the target that is renamed over it once whole, so a failure never leaves
// a cut file where a whole one stood. Returns an empty string or the error.
std::string WriteFileSafely(const std::string& path, const std::vector<char>& bytes, bool replace) {
  std::string target = path;
  std::string tmp;
  int fd;
  if (replace) {
    std::string dir = DirOf(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    tmp = dir + "/." + base + ".XXXXXX";
    fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return SysError("create temporary file", tmp);
  } else {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EEXIST) return path + " exists (use --force to replace it)";
      return SysError("create", path);
    }
  }
  const std::string& written = replace ? tmp : path;
  std::string error;
  if (replace && ::fchmod(fd, 0644) != 0) error = SysError("chmod", written);
  if (error.empty() && !WriteAll(fd, bytes.data(), bytes.size()))
    error = SysError("write", written);
  if (error.empty() && ::fsync(fd) != 0) error = SysError("fsync", written);
  if (CloseChecked(fd) != 0 && error.empty()) error = SysError("close", written);
  if (error.empty() && replace && ::rename(tmp.c_str(), target.c_str()) != 0) {
    error = SysError("rename " + tmp + " ->", target);
  }
  if (!error.empty()) {
    // Only ever remove what this call created.
    ::unlink(written.c_str());
    return error;
  }
  // The rename is durable only once the folder is synced: failing to open it is a failure too.
  int dirFd = ::open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return SysError("open directory of", path);
  int rc = ::fsync(dirFd);
  ::close(dirFd);
  if (rc != 0) return SysError("fsync directory of", path);
  return std::string();
}

bool ParseInt64(const char* text, int64_t* out) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

int Encode(int argc, char** argv) {
  const char* valueText = nullptr;
  const char* metadata = nullptr;
  const char* file = nullptr;
  bool force = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (IsHelp(arg)) return Help(kEncodeUsage);
    if (arg == "--value" || arg == "--metadata") {
      if (i + 1 >= argc) return UsageError(arg + " needs a value", kEncodeUsage);
      (arg == "--value" ? valueText : metadata) = argv[++i];
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--" && i + 2 == argc && file == nullptr) {
      file = argv[++i];
    } else if (!arg.empty() && arg[0] == '-' && arg != "--") {
      return UsageError("unknown option " + CQuote(arg), kEncodeUsage);
    } else if (file != nullptr || arg == "--") {
      return UsageError("unexpected word " + CQuote(arg) + ": encode writes one FILE",
                        kEncodeUsage);
    } else {
      file = argv[i];
    }
  }
  if (valueText == nullptr) return UsageError("--value is missing", kEncodeUsage);
  if (metadata == nullptr) return UsageError("--metadata is missing", kEncodeUsage);
  if (file == nullptr) return UsageError("FILE is missing", kEncodeUsage);
  int64_t value = 0;
  if (!ParseInt64(valueText, &value)) {
    return UsageError("--value " + CQuote(valueText) + " is not a 64-bit integer", kEncodeUsage);
  }
  if (*metadata == '\0') {
    // The decoder refuses a record without metadata: such a file could never be shown or used.
    return UsageError("--metadata must not be empty: a stub record needs metadata", kEncodeUsage);
  }
  std::vector<char> record;
  try {
    record.resize(static_cast<size_t>(trhsm_meta2stub(metadata, value, nullptr, 0)));
    trhsm_meta2stub(metadata, value, record.data(), static_cast<int>(record.size()));
  } catch (const KoException& e) {
    return UsageError("--metadata: " + e.getMessage(), kEncodeUsage);
  }
  // Never write a record that the decoder would refuse.
  const trhsm::StubCheck check = trhsm::CheckStubRecord(record.data(), false, 0);
  if (check.refusal != trhsm::StubRefusal::kNone) {
    std::fprintf(stderr, "trhsm-stub: this record would be refused: %s\n",
                 trhsm::DescribeStubRefusal(check).c_str());
    return kUsageError;
  }
  std::string error = WriteFileSafely(file, record, force);
  if (!error.empty()) {
    std::fprintf(stderr, "trhsm-stub: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: wrote %s\n", file, Bytes(record.size()).c_str());
  return FinishOutput();
}

struct ShowResult {
  std::string error;  // empty when the record was accepted
  int recordLength = 0;
  int64_t value = 0;
  std::string metadata;
  size_t fileSize = 0;
  bool parsed = false;  // the metadata parses as a reparse text
  ReparseData reparse;
};

// Reads at most one record's worth of the file and verifies it.
ShowResult ShowOne(const std::string& path) {
  ShowResult r;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    r.error = SysError("open", path);
    return r;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    r.error = SysError("stat", path);
    ::close(fd);
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    r.error = "not a regular file";
    return r;
  }
  // The decoder may read up to the declared length; a zeroed buffer of the largest record size
  // guarantees that, whatever the file holds.
  std::vector<char> buffer(sr::kMaxRecordLength + 1, '\0');
  size_t have = 0;
  while (have < buffer.size()) {
    ssize_t n = ::read(fd, buffer.data() + have, buffer.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.error = SysError("read", path);
      ::close(fd);
      return r;
    }
    if (n == 0) break;
    have += static_cast<size_t>(n);
  }
  ::close(fd);
  r.fileSize = static_cast<size_t>(st.st_size);
  if (have == 0) {
    r.error = "empty file";
    return r;
  }
  if (have < sr::kLengthOffset + 2 && buffer[0] != '\0') {
    r.error = "file is too short for a stub record (" + std::to_string(have) + " bytes)";
    return r;
  }
  const bool headerMatches = std::memcmp(buffer.data(), "VSTUB\n\x0e\xaf\x01", 9) == 0;
  const size_t declared = (static_cast<unsigned char>(buffer[sr::kLengthOffset]) << 8) |
                          static_cast<unsigned char>(buffer[sr::kLengthOffset + 1]);
  if (headerMatches && declared > have) {
    r.error = "file is truncated: it holds " + std::to_string(have) +
              " bytes but its record declares " + std::to_string(declared);
    return r;
  }
  trhsm::StubCheck check = trhsm::CheckStubRecord(buffer.data(), false, 0);
  if (check.refusal != trhsm::StubRefusal::kNone) {
    r.error = trhsm::DescribeStubRefusal(check);
    return r;
  }
  r.recordLength = check.recordLength;
  r.value = check.value;
  r.metadata.assign(check.metadata, static_cast<size_t>(check.metadataLength));
  // Quietly: metadata that is no reparse text is still a valid record.
  r.parsed = trhsm::ParseReparseText(r.metadata, &r.reparse);
  return r;
}

std::string ReparseText(const ReparseData& d) {
  return "field0 " + std::to_string(d.field0) + ", field1 " + std::to_string(d.field1) +
         ", field2 " + std::to_string(d.field2) + ", field3 " + std::to_string(d.field3) +
         ", field4 " + std::to_string(d.field4) + ", layout " + std::to_string(d.layout) +
         ", stubGUID " + CQuote(d.stubGUID) + ", appId " + std::to_string(d.appId) + ", appGUID " +
         CQuote(d.appGUID) + ", reparseTime " + std::to_string(d.reparseTime) + ", extraNumber " +
         std::to_string(d.extraNumber);
}

std::string ReparseJson(const ReparseData& d) {
  return "{\"field0\": " + std::to_string(d.field0) + ", \"field1\": " + std::to_string(d.field1) +
         ", \"field2\": " + std::to_string(d.field2) + ", \"field3\": " + std::to_string(d.field3) +
         ", \"field4\": " + std::to_string(d.field4) + ", \"layout\": " + std::to_string(d.layout) +
         ", \"stubGUID\": " + JsonQuote(d.stubGUID) + ", \"appId\": " + std::to_string(d.appId) +
         ", \"appGUID\": " + JsonQuote(d.appGUID) +
         ", \"reparseTime\": " + std::to_string(d.reparseTime) +
         ", \"extraNumber\": " + std::to_string(d.extraNumber) + "}";
}

int Show(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> files;
  bool options = true;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (options && IsHelp(arg)) return Help(kShowUsage);
    if (options && arg == "--json") {
      json = true;
    } else if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + CQuote(arg), kShowUsage);
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return UsageError("FILE is missing", kShowUsage);
  uint64_t refused = 0;
  for (const std::string& file : files) {
    ShowResult r = ShowOne(file);
    if (!r.error.empty()) ++refused;
    if (json) {
      std::printf("{\"file\": %s, ", JsonQuote(file).c_str());
      if (r.error.empty()) {
        std::printf("\"ok\": true, \"recordLength\": %d, \"value\": %lld, \"metadata\": %s, ",
                    r.recordLength, static_cast<long long>(r.value), JsonQuote(r.metadata).c_str());
        std::printf("\"reparse\": %s}\n", r.parsed ? ReparseJson(r.reparse).c_str() : "null");
      } else {
        std::printf("\"ok\": false, \"error\": %s}\n", JsonQuote(r.error).c_str());
      }
    } else if (r.error.empty()) {
      std::printf("%s: record length %d, value %lld, metadata %s\n", file.c_str(), r.recordLength,
                  static_cast<long long>(r.value), CQuote(r.metadata).c_str());
      if (r.parsed) std::printf("  reparse: %s\n", ReparseText(r.reparse).c_str());
    } else {
      std::printf("%s: refused: %s\n", file.c_str(), r.error.c_str());
    }
  }
  const uint64_t valid = files.size() - refused;
  if (json) {
    std::printf("{\"summary\": true, \"files\": %zu, \"valid\": %llu, \"refused\": %llu}\n",
                files.size(), static_cast<unsigned long long>(valid),
                static_cast<unsigned long long>(refused));
  } else if (files.size() > 1) {
    std::printf("trhsm-stub: %s shown: %llu valid, %llu refused\n",
                Count(files.size(), "file", "files").c_str(),
                static_cast<unsigned long long>(valid), static_cast<unsigned long long>(refused));
  }
  if (FinishOutput() != 0) return 1;
  return refused > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = std::string(kCommands) + kEncodeUsage + "\n" + kShowUsage + kExitStatus;
  if (argc < 2) return UsageError("a COMMAND is missing (encode or show)", usage.c_str());
  const std::string command = argv[1];
  if (IsHelp(command)) return Help(usage);
  if (command == "encode") return Encode(argc, argv);
  if (command == "show") return Show(argc, argv);
  return UsageError("unknown command " + CQuote(command) + " (encode or show)", usage.c_str());
}
