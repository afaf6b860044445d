// trhsm-stub: writes stub records and shows what stub files hold.
//   trhsm-stub encode --value N --metadata TEXT [--force] FILE
//   trhsm-stub show [--json] FILE...
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
#include "tools/text_escape.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace sr = trhsm::stub_record;
using trhsm_tools::CQuote;
using trhsm_tools::JsonQuote;

constexpr int kUsageError = 2;

int Usage() {
  std::fprintf(stderr,
               "usage: trhsm-stub encode --value N --metadata TEXT [--force] FILE\n"
               "       trhsm-stub show [--json] FILE...\n");
  return kUsageError;
}

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
  int dirFd = ::open(DirOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    int rc = ::fsync(dirFd);
    ::close(dirFd);
    if (rc != 0) return SysError("fsync directory of", path);
  }
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
    if (arg == "--value" && i + 1 < argc) {
      valueText = argv[++i];
    } else if (arg == "--metadata" && i + 1 < argc) {
      metadata = argv[++i];
    } else if (arg == "--force") {
      force = true;
    } else if (arg == "--" && i + 2 == argc) {
      file = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && file == nullptr) {
      file = argv[i];
    } else {
      return Usage();
    }
  }
  if (valueText == nullptr || metadata == nullptr || file == nullptr) return Usage();
  int64_t value = 0;
  if (!ParseInt64(valueText, &value)) {
    std::fprintf(stderr, "trhsm-stub: --value %s is not a 64-bit integer\n", valueText);
    return kUsageError;
  }
  std::vector<char> record;
  try {
    record.resize(static_cast<size_t>(trhsm_meta2stub(metadata, value, nullptr, 0)));
    trhsm_meta2stub(metadata, value, record.data(), static_cast<int>(record.size()));
  } catch (const KoException& e) {
    std::fprintf(stderr, "trhsm-stub: %s\n", e.getMessage().c_str());
    return 1;
  }
  std::string error = WriteFileSafely(file, record, force);
  if (!error.empty()) {
    std::fprintf(stderr, "trhsm-stub: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: wrote %zu bytes\n", file, record.size());
  return 0;
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
    if (options && arg == "--json") {
      json = true;
    } else if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg[0] == '-') {
      return Usage();
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return Usage();
  int status = 0;
  if (json) std::printf("[");
  for (size_t i = 0; i < files.size(); ++i) {
    ShowResult r = ShowOne(files[i]);
    if (!r.error.empty()) status = 1;
    if (json) {
      std::printf("%s\n  {\"file\": %s, ", i ? "," : "", JsonQuote(files[i]).c_str());
      if (r.error.empty()) {
        std::printf("\"valid\": true, \"recordLength\": %d, \"value\": %lld, \"metadata\": %s, ",
                    r.recordLength, static_cast<long long>(r.value), JsonQuote(r.metadata).c_str());
        std::printf("\"reparse\": %s}", r.parsed ? ReparseJson(r.reparse).c_str() : "null");
      } else {
        std::printf("\"valid\": false, \"error\": %s}", JsonQuote(r.error).c_str());
      }
    } else if (r.error.empty()) {
      std::printf("%s: record length %d, value %lld, metadata %s\n", files[i].c_str(),
                  r.recordLength, static_cast<long long>(r.value), CQuote(r.metadata).c_str());
      if (r.parsed) std::printf("  reparse: %s\n", ReparseText(r.reparse).c_str());
    } else {
      std::printf("%s: refused: %s\n", files[i].c_str(), r.error.c_str());
    }
  }
  if (json) std::printf("\n]\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "encode") return Encode(argc, argv);
  if (command == "show") return Show(argc, argv);
  return Usage();
}
