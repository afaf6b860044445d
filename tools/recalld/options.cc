// trhsm-recalld's command line: parsing and help.
#include "tools/recalld/options.h"

#include <cstdio>
#include <cstdlib>

#include "tools/text_escape.h"

namespace recalld {
namespace {

constexpr char kSynopsis[] =
    "usage: trhsm-recalld [--foreground] [--archive DIR] [--jobs N] [--state DIR] [--run DIR]\n"
    "                     [--log FILE] TREE...\n";

}  // namespace

void PrintHelp() {
  std::printf(
      "%s"
      "Makes the stubs below each TREE transparent: when a process opens a stub (or reads\n"
      "a file that became one), the archived copy the stub names is written into the stub's\n"
      "own inode before the process goes on, so that it reads the original size and bytes;\n"
      "the stub record gives way only once the whole copy matched its checksum. Owner, mode\n"
      "and attributes stay, the modification time is the archived one. Files that are not\n"
      "stubs pass at once. A copy that is missing or does not verify leaves the stub as it\n"
      "was, and the open fails with EIO (EPERM on kernels that let no daemon choose the\n"
      "error); the log says which file and why.\n"
      "Needs root (CAP_SYS_ADMIN) and fanotify permission events. Every recall in progress is\n"
      "recorded in the state folder, and the next start finishes or undoes what a killed\n"
      "daemon left, so each file is either its whole stub or its whole data.\n"
      "SIGTERM or SIGINT answers every waiting process and exits; SIGUSR1 logs the summary.\n"
      "\n"
      "options:\n"
      "  --foreground   stay in the foreground (without it the daemon detaches once it watches)\n"
      "  --archive DIR  the archive root; by default the dARCHIVE_ROOT value under [Base] in\n"
      "                 the registry file that KO_REGISTRY names\n"
      "  --jobs N       recalls at a time, 1 to 64 (4); other opens are answered meanwhile\n"
      "  --state DIR    intents of recalls in progress (/var/lib/trhsm-recalld); one daemon\n"
      "                 per folder, which must lie outside every TREE\n"
      "  --run DIR      where the daemons note the trees they watch (/run/trhsm-recalld); a\n"
      "                 daemon refuses a TREE that overlaps one another daemon watches\n"
      "  --log FILE     append the log there (outside every TREE) instead of standard error\n"
      "  -h, --help     print this help and exit\n"
      "  --             every later argument is a TREE, even one that starts with '-'\n"
      "\n"
      "exit status: 0 stopped by SIGTERM or SIGINT; 1 could not start (state folder in use,\n"
      "overlapping TREE, no archive root); 2 usage error, or no privilege or kernel support.\n",
      kSynopsis);
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "trhsm-recalld: %s\n%sTry 'trhsm-recalld --help' for more.\n",
               problem.c_str(), kSynopsis);
  return 2;
}

std::string ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* what, std::string* out) -> std::string {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return arg + " needs " + what;
      *out = argv[++i];
      return "";
    };
    std::string problem;
    if (arg == "-h" || arg == "--help") {
      o->help = true;
    } else if (arg == "--foreground") {
      o->foreground = true;
    } else if (arg == "--archive") {
      problem = value("a folder", &o->archive);
    } else if (arg == "--state") {
      problem = value("a folder", &o->state);
    } else if (arg == "--run") {
      problem = value("a folder", &o->run);
    } else if (arg == "--log") {
      problem = value("a file", &o->log);
    } else if (arg == "--jobs") {
      std::string n;
      problem = value("a number", &n);
      char* end = nullptr;
      const unsigned long jobs = problem.empty() ? std::strtoul(n.c_str(), &end, 10) : 0;
      if (problem.empty() && (end == n.c_str() || *end != '\0' || jobs < 1 || jobs > 64)) {
        problem = "--jobs takes a number from 1 to 64, not " + trhsm_tools::CQuote(n);
      }
      o->jobs = static_cast<unsigned>(jobs);
    } else if (arg == "--") {
      for (++i; i < argc; ++i) o->trees.push_back(argv[i]);
    } else if (!arg.empty() && arg[0] == '-') {
      problem = "unknown option " + trhsm_tools::CQuote(arg);
    } else {
      o->trees.push_back(arg);
    }
    if (!problem.empty()) return problem;
  }
  if (o->trees.empty() && !o->help) return "no TREE given";
  return "";
}

}  // namespace recalld
