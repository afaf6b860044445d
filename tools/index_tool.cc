// trhsm-index: fills and lists the backup index the way a backup job would, copying each file's
// bytes into the archive (platform/archive.h) before the index rows that name them are committed.
//   trhsm-index add --job N [--archive-group G] [--attr ID=TEXT]... [--index PATH] [--archive DIR]
//                   PATH...
//   trhsm-index list --job N [--index PATH] [--json]
// Exit status: 0 done, 1 something was refused or failed, 2 usage error.
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "platform/backup_index.h"
#include "tools/index_add.h"
#include "tools/report_text.h"
#include "tools/text_escape.h"

namespace {

using Options = trhsm_tools::IndexOptions;
using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_tools::CQuote;
using trhsm_tools::JsonQuote;

constexpr int kUsageError = 2;

constexpr char kAddUsage[] =
    "usage: trhsm-index add --job N [--archive-group G] [--attr ID=TEXT]... [--index PATH]\n"
    "                       [--archive DIR] PATH...\n"
    "\n"
    "Backs up every regular file at or below each PATH (symbolic links are not followed; a file\n"
    "named more than once is added once): copies its bytes into the archive and records it in\n"
    "the backup index as an item of job N. Progress (\"N of M\") is shown on a terminal only.\n"
    "\n"
    "  --job N            the backup job the items belong to (required)\n"
    "  --archive-group G  the archive group the copies go to (default 1): DIR/G/1.arc\n"
    "  --attr ID=TEXT     give every item the metadata attribute number ID with the value TEXT;\n"
    "                     may be repeated\n"
    "  --index PATH       the backup index (SQLite); default: dBACKUP_INDEX under [Base] of the\n"
    "                     configuration file that KO_REGISTRY names\n"
    "  --archive DIR      the archive root; default: dARCHIVE_ROOT under [Base]\n"
    "  --                 end of the options: every later word is a PATH\n"
    "  -h, --help         print this usage and exit\n";

constexpr char kListUsage[] =
    "usage: trhsm-index list --job N [--index PATH] [--json]\n"
    "\n"
    "Prints the items of job N, one line each, in the collect-file line syntax: job, archive\n"
    "group, archive file, offset, size, name, modification time, inode, then ID=TEXT for each\n"
    "attribute (a field holding a comma or quote is quoted).\n"
    "\n"
    "  --job N       the backup job to list (required)\n"
    "  --index PATH  the backup index; default: dBACKUP_INDEX under [Base]\n"
    "  --json        one JSON object per line: per item {\"file\", \"ok\": true, \"job\",\n"
    "                \"archiveGroup\", \"archiveFile\", \"offset\", \"size\", \"modTime\", "
    "\"inode\",\n"
    "                \"attributes\": [{\"id\", \"text\"}...]}, then {\"summary\": true, \"job\",\n"
    "                \"items\"}; bytes of a name that are not UTF-8 appear as \\udcXX\n"
    "  -h, --help    print this usage and exit\n";

constexpr char kCommands[] =
    "usage: trhsm-index add --job N [options] PATH...\n"
    "       trhsm-index list --job N [--index PATH] [--json]\n"
    "       trhsm-index COMMAND --help\n"
    "\n"
    "Fills the backup index and the archive the way a backup job would (add), and lists a job's\n"
    "items (list).\n"
    "\n";

constexpr char kExitStatus[] =
    "\n"
    "Exit status: 0 done; 1 a PATH was refused, the index or archive failed, or standard output\n"
    "could not be written; 2 usage error.\n";

std::string FullUsage() {
  return std::string(kCommands) + kAddUsage + "\n" + kListUsage + kExitStatus;
}

bool ParseInt(const std::string& text, int64_t* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// The usage that fits `command`: its own, or the whole one.
std::string UsageOf(const std::string& command) {
  if (command == "add") return kAddUsage;
  if (command == "list") return kListUsage;
  return FullUsage();
}

// Empty when the options are usable; otherwise the one line that names what is wrong.
std::string ParseOptions(int argc, char** argv, Options* o) {
  if (argc < 2) return "a COMMAND is missing (add or list)";
  o->command = argv[1];
  if (o->command == "--help" || o->command == "-h") {
    o->help = true;
    return "";
  }
  if (o->command != "add" && o->command != "list") {
    return "unknown command " + CQuote(o->command) + " (add or list)";
  }
  const bool add = o->command == "add";
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string v;
    if (arg == "--help" || arg == "-h") {
      o->help = true;
      return "";
    }
    const bool takesValue =
        arg == "--job" || arg == "--index" ||
        (add && (arg == "--archive-group" || arg == "--archive" || arg == "--attr"));
    if (takesValue) {
      if (i + 1 >= argc) return arg + " needs a value";
      v = argv[++i];
    }
    if (arg == "--job" || (add && arg == "--archive-group")) {
      int64_t* target = arg == "--job" ? &o->job : &o->archiveGroup;
      if (!ParseInt(v, target) || *target < 0) {
        return arg + " wants a number of 0 or more, not " + CQuote(v);
      }
      if (arg == "--job") o->haveJob = true;
    } else if (arg == "--index") {
      o->index = v;
    } else if (add && arg == "--archive") {
      o->archive = v;
    } else if (add && arg == "--attr") {
      size_t eq = v.find('=');
      int64_t id = 0;
      if (eq == std::string::npos || !ParseInt(v.substr(0, eq), &id)) {
        return "--attr wants ID=TEXT with a numeric ID, not " + CQuote(v);
      }
      o->attrs.emplace_back(id, v.substr(eq + 1));
    } else if (!add && arg == "--json") {
      o->json = true;
    } else if (arg == "--" && add) {
      for (++i; i < argc; ++i) o->paths.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option " + CQuote(arg) + " for " + o->command;
    } else if (!add) {
      return "unexpected word " + CQuote(arg) + ": list takes no PATH";
    } else {
      o->paths.push_back(arg);
    }
  }
  if (!o->haveJob) return "--job N is required";
  if (add && o->paths.empty()) return "add needs at least one PATH";
  return "";
}

std::string ItemJson(const BackupItem& item) {
  std::string json = "{\"file\": " + JsonQuote(item.fullFileName) +
                     ", \"ok\": true, \"job\": " + std::to_string(item.jobId) +
                     ", \"archiveGroup\": " + std::to_string(item.archGroupId) +
                     ", \"archiveFile\": " + std::to_string(item.archFileId) +
                     ", \"offset\": " + std::to_string(item.archFileOffset) +
                     ", \"size\": " + std::to_string(item.fileSize) +
                     ", \"modTime\": " + std::to_string(item.modTime) +
                     ", \"inode\": " + std::to_string(item.inode) + ", \"attributes\": [";
  for (size_t i = 0; i < item.metadata.size(); ++i) {
    json += i > 0 ? ", " : "";
    json += "{\"id\": " + std::to_string(item.metadata[i].first) +
            ", \"text\": " + JsonQuote(item.metadata[i].second) + "}";
  }
  return json + "]}";
}

// The collect-file line syntax: job, group, file, offset, size, name, mtime, inode, ID=TEXT...
std::string ItemLine(const BackupItem& item) {
  std::string line = std::to_string(item.jobId) + "," + std::to_string(item.archGroupId) + "," +
                     std::to_string(item.archFileId) + "," + std::to_string(item.archFileOffset) +
                     "," + std::to_string(item.fileSize) + ",";
  trhsm::platform::AppendLineField(&line, item.fullFileName, ',');
  line += "," + std::to_string(item.modTime) + "," + std::to_string(item.inode);
  for (const auto& attr : item.metadata) {
    line += ',';
    trhsm::platform::AppendLineField(&line, std::to_string(attr.first) + "=" + attr.second, ',');
  }
  return line;
}

int List(BackupIndex* index, const Options& o) {
  std::vector<BackupItem> items;
  std::string error;
  if (!index->ListJob(o.job, &items, &error)) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  std::string line;
  for (const BackupItem& item : items) {
    line = (o.json ? ItemJson(item) : ItemLine(item)) + '\n';
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) break;
  }
  if (o.json) {
    std::printf("{\"summary\": true, \"job\": %lld, \"items\": %zu}\n",
                static_cast<long long>(o.job), items.size());
  }
  return trhsm_tools::FinishOutput("trhsm-index");
}

// The configured value is missing: says what to fix, naming the registry when it is unreadable.
int NotConfigured(const char* what, const char* value, const char* key, const char* option) {
  const std::string problem = trhsm_tools::RegistryProblem();
  if (!problem.empty()) {
    std::fprintf(stderr, "trhsm-index: %s; or give %s\n", problem.c_str(), option);
  } else {
    std::fprintf(stderr, "trhsm-index: no %s configured (%s under %s); give %s\n", what, value, key,
                 option);
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string problem = ParseOptions(argc, argv, &o);
  if (!problem.empty()) {
    std::fprintf(stderr, "trhsm-index: %s\n%s", problem.c_str(), UsageOf(o.command).c_str());
    return kUsageError;
  }
  if (o.help) {
    std::fputs(
        (o.command == "add" || o.command == "list" ? UsageOf(o.command) + kExitStatus : FullUsage())
            .c_str(),
        stdout);
    return trhsm_tools::FinishOutput("trhsm-index");
  }
  if (o.index.empty() && !BackupIndex::ConfiguredPath(&o.index)) {
    return NotConfigured("backup index", trhsm::platform::kBackupIndexValue,
                         trhsm::platform::kBackupIndexKey, "--index PATH");
  }
  if (o.command == "add" && o.archive.empty() &&
      !trhsm::platform::ConfiguredArchiveRoot(&o.archive)) {
    return NotConfigured("archive root", trhsm::archive_format::kRootValue,
                         trhsm::archive_format::kRootKey, "--archive DIR");
  }
  std::string error;
  auto mode = o.command == "add" ? BackupIndex::Mode::kCreate : BackupIndex::Mode::kReadOnly;
  std::unique_ptr<BackupIndex> index = BackupIndex::Open(o.index, mode, &error);
  if (!index) {
    std::fprintf(stderr, "trhsm-index: %s\n", error.c_str());
    return 1;
  }
  return o.command == "add" ? trhsm_tools::AddToIndex(index.get(), o) : List(index.get(), o);
}
