// trhsm-recall: puts archived files back in place of their stubs (tools/recall_file.h does each
// file; this is the command line, the report and the summary).
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/archive.h"
#include "platform/archive_format.h"
#include "stub/record_format.h"
#include "tools/recall_file.h"
#include "tools/report_text.h"
#include "tools/text_escape.h"

namespace {

using trhsm_tools::Bytes;
using trhsm_tools::Count;
using trhsm_tools::CQuote;
using trhsm_tools::JsonQuote;
using trhsm_tools::RecallOutcome;

constexpr int kUsageError = 2;
constexpr char kSynopsis[] =
    "usage: trhsm-recall [--dry-run] [--json] [--archive DIR] FILE|FOLDER...\n";

void Help() {
  std::printf(
      "%s"
      "Brings each FILE back in place of its stub. The archived copy that the stub names is\n"
      "checked against its checksum while it is written to a temporary file beside the stub\n"
      "(holes of a sparse file stay holes); the file then takes the stub's owner, mode and\n"
      "extended attributes (ACLs included) and the archived modification time, is synced, and\n"
      "is renamed over the stub. A FILE that is not a whole stub, whose copy is missing or\n"
      "damaged, or that changes meanwhile is left as it was and reported. Temporary files that\n"
      "a killed recall left in a folder are removed by the next recall there.\n"
      "A FOLDER stands for every stub below it (symbolic links are not followed); the other\n"
      "files there are left alone and only counted.\n"
      "\n"
      "options:\n"
      "  --archive DIR  the archive root; by default the dARCHIVE_ROOT value under [Base] in\n"
      "                 the registry file that KO_REGISTRY names\n"
      "  --dry-run      check every copy and say what would be recalled; change nothing\n"
      "  --json         one JSON object per line: one per FILE (\"file\", \"ok\", \"dryRun\",\n"
      "                 \"archive\", \"offset\", \"size\", or \"error\"), then a summary object\n"
      "                 (\"summary\": true, \"recalled\", \"failed\", \"skipped\", \"bytes\")\n"
      "  -h, --help     print this help and exit\n"
      "  --             every later argument is a FILE, even one that starts with '-'\n"
      "\n"
      "Progress (\"N of M\") is shown on standard error when it is a terminal; with several\n"
      "files a summary line ends the report.\n"
      "\n"
      "exit status: 0 every FILE recalled (or, with --dry-run, recallable); 1 some FILE was\n"
      "refused or failed, no archive root is known, or standard output could not be written;\n"
      "2 usage error.\n",
      kSynopsis);
}

// A usage error: what was wrong, the synopsis and where to read more, on standard error.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "trhsm-recall: %s\n%sTry 'trhsm-recall --help' for more.\n", problem.c_str(),
               kSynopsis);
  return kUsageError;
}

struct Options {
  bool help = false;
  bool dryRun = false;
  bool json = false;
  std::string archive;
  std::vector<std::string> files;
};

// Fills *o; "" when the words make sense, else what is wrong with them.
std::string ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      o->help = true;
    } else if (arg == "--dry-run") {
      o->dryRun = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--archive") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return "--archive needs a folder";
      o->archive = argv[++i];
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->files.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      return "unknown option " + CQuote(arg);
    } else {
      o->files.push_back(arg);
    }
  }
  if (o->files.empty() && !o->help) return "no FILE given";
  return "";
}

// One file to recall: a FILE as given, or a file found below a FOLDER.
struct Target {
  std::string path;
  bool found = false;  // found in a folder, where a file that is no stub is left alone quietly
};

// Where Collect hands each file found: nftw passes no argument.
const std::function<void(const Target&)>* g_visit = nullptr;

int Collect(const char* path, const struct stat* st, int type, struct FTW*) {
  // Only a regular file no longer than the longest record can be a stub; a folder that cannot be
  // read is a FILE that will be refused, so it is reported.
  if ((type == FTW_F && S_ISREG(st->st_mode) &&
       st->st_size <= trhsm::stub_record::kMaxRecordLength) ||
      type == FTW_DNR) {
    (*g_visit)({path, type == FTW_F});
  }
  return 0;
}

// Hands `visit` every FILE, each FOLDER replaced by the files below it, one at a time (a tree of
// any size costs no memory for its list).
void ForEachTarget(const std::vector<std::string>& files, bool* anyFolder,
                   const std::function<void(const Target&)>& visit) {
  for (std::string file : files) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      visit({file, false});
      continue;
    }
    *anyFolder = true;
    while (file.size() > 1 && file.back() == '/') file.pop_back();
    // A FOLDER named by a link is walked from the folder it names.
    if (::lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) file += "/.";
    g_visit = &visit;
    ::nftw(file.c_str(), Collect, 16, FTW_PHYS);
  }
}

// "N of M" on standard error while files are recalled, when it is a terminal. Any other line is
// written only after Clear(), so that it starts on a line of its own.
class Progress {
 public:
  Progress(bool shown, size_t total) : shown_(shown), total_(total) {}
  void Show(size_t n) {
    if (!shown_) return;
    Clear();
    std::string text = "trhsm-recall: " + std::to_string(n) + " of " + std::to_string(total_);
    std::fprintf(stderr, "%s", text.c_str());
    width_ = text.size();
  }
  // Blanks the progress line and returns to its start.
  void Clear() {
    if (width_ == 0) return;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
    width_ = 0;
  }

 private:
  bool shown_;
  size_t total_;
  size_t width_ = 0;  // characters of the progress line on screen, 0 when none is
};

void Report(const std::string& path, const Options& o, const RecallOutcome& r) {
  if (o.json) {
    std::string line = "{\"file\":" + JsonQuote(path) + ",\"ok\":" + (r.ok ? "true" : "false") +
                       ",\"dryRun\":" + (o.dryRun ? "true" : "false");
    if (!r.archiveFile.empty()) {
      line +=
          ",\"archive\":" + JsonQuote(r.archiveFile) + ",\"offset\":" + std::to_string(r.offset);
    }
    if (r.ok) line += ",\"size\":" + std::to_string(r.size);
    if (!r.ok) line += ",\"error\":" + JsonQuote(r.error);
    std::printf("%s}\n", line.c_str());
  } else if (!r.ok) {
    std::fprintf(stderr, "trhsm-recall: refused %s: %s\n", CQuote(path).c_str(), r.error.c_str());
  } else if (o.dryRun) {
    std::printf("trhsm-recall: would recall %s: %s from %s at offset %lld\n", CQuote(path).c_str(),
                Bytes(r.size).c_str(), CQuote(r.archiveFile).c_str(),
                static_cast<long long>(r.offset));
  } else {
    std::printf("trhsm-recall: recalled %s (%s)\n", CQuote(path).c_str(), Bytes(r.size).c_str());
  }
}

struct Totals {
  uint64_t recalled = 0, failed = 0, skipped = 0, bytes = 0;
};

void Summary(const Options& o, const Totals& t) {
  if (o.json) {
    std::printf(
        "{\"summary\":true,\"dryRun\":%s,\"recalled\":%llu,\"failed\":%llu,"
        "\"skipped\":%llu,\"bytes\":%llu}\n",
        o.dryRun ? "true" : "false", static_cast<unsigned long long>(t.recalled),
        static_cast<unsigned long long>(t.failed), static_cast<unsigned long long>(t.skipped),
        static_cast<unsigned long long>(t.bytes));
    return;
  }
  std::string line = Count(t.recalled, "file", "files") + (o.dryRun ? " would be" : "") +
                     " recalled, " + Bytes(t.bytes);
  if (t.failed > 0) line += "; " + std::to_string(t.failed) + " failed";
  if (t.skipped > 0) {
    line += "; left alone " + Count(t.skipped, "file that is no stub", "files that are no stubs");
  }
  std::printf("trhsm-recall: %s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string problem = ParseOptions(argc, argv, &o);
  if (!problem.empty()) return Usage(problem);
  if (o.help) {
    Help();
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  if (o.archive.empty() && !trhsm::platform::ConfiguredArchiveRoot(&o.archive)) {
    const std::string registry = trhsm_tools::RegistryProblem();
    if (!registry.empty()) {
      std::fprintf(stderr, "trhsm-recall: %s; or give --archive DIR\n", registry.c_str());
    } else {
      std::fprintf(stderr,
                   "trhsm-recall: no archive root configured (%s under %s); give --archive DIR\n",
                   trhsm::archive_format::kRootValue, trhsm::archive_format::kRootKey);
    }
    return 1;
  }
  bool anyFolder = false;
  // On a terminal the files are counted first, for "N of M".
  size_t total = 0;
  const bool terminal = !o.json && ::isatty(STDERR_FILENO);
  if (terminal) ForEachTarget(o.files, &anyFolder, [&](const Target&) { ++total; });
  trhsm_tools::Recaller recaller(o.archive, o.dryRun);
  Progress progress(terminal && total > 1, total);
  Totals totals;
  const auto settle = [&](const std::string& path, bool found, const RecallOutcome& r) {
    if (found && r.notStub) {
      ++totals.skipped;
      return;
    }
    Report(path, o, r);
    if (r.ok) {
      ++totals.recalled;
      totals.bytes += r.size;
    } else {
      ++totals.failed;
    }
  };
  // The files staged since the last commit, in order: reported once the group is committed.
  struct Pending {
    Target target;
    int place;  // in the group; -1: `outcome` is final
    RecallOutcome outcome;
  };
  std::vector<Pending> pending;
  const auto commit = [&] {
    const std::vector<RecallOutcome> done = recaller.Commit();
    for (const Pending& p : pending) {
      settle(p.target.path, p.target.found,
             p.place < 0 ? p.outcome : done[static_cast<size_t>(p.place)]);
    }
    pending.clear();
  };
  size_t visited = 0;
  ForEachTarget(o.files, &anyFolder, [&](const Target& target) {
    progress.Show(++visited);
    Pending p{target, -1, {}};
    p.place = recaller.Stage(target.path, &p.outcome);
    progress.Clear();
    pending.push_back(std::move(p));
    if (recaller.Full() || pending.size() >= 1024) commit();
  });
  commit();
  if (o.json || visited > 1 || anyFolder) Summary(o, totals);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "trhsm-recall: write standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return totals.failed > 0 ? 1 : 0;
}
