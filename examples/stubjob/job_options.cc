// The stub job's command line: one scan that takes the job's own options out and checks the job
// options as the library's parser will read them (the same table order, case-insensitive).
#include "examples/stubjob/job_options.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace stubjob {
namespace {

// A job option as ProcessCommandLineArguments matches it.
struct JobOption {
  const char* name;
  bool prefix;      // matched on its first two characters ("-D...", "-J...")
  bool takesValue;  // the next argument is its value, whatever it looks like
  size_t maxValue;  // longest value the record holds; 0: no limit
};

// In the parser's order: "-dct" before the "-D" prefix, "-jt" before the "-J" prefix.
const JobOption kJobOptions[] = {
    {"-TrueUp", false, false, 0},    {"-dct", false, true, 0},     {"-vm", false, true, 255},
    {"-p", false, true, 1023},       {"-cs", false, true, 255},    {"-i", false, true, 0},
    {"-D", true, true, 255},         {"-s", false, true, 255},     {"-jt", false, true, 0},
    {"-J", true, true, 0},           {"-a", false, true, 255},     {"-t", false, true, 0},
    {"-f", false, true, 0},          {"-r", false, true, 0},       {"-snaptape", false, false, 0},
    {"-snap", false, false, 0},      {"-snapJID", false, true, 0}, {"-hadoopURI", false, true, 0},
    {"-hadoopUser", false, true, 0}, {"-caa", false, true, 0},     {"-idx2", false, false, 0},
    {"-adhoc", false, false, 0},     {"-lustre", false, false, 0}, {"-amr", false, false, 0},
};

const JobOption* FindJobOption(const char* arg) {
  for (const JobOption& o : kJobOptions) {
    if (o.prefix ? strncasecmp(arg, o.name, 2) == 0 : strcasecmp(arg, o.name) == 0) return &o;
  }
  return nullptr;
}

// The library reads the job number as atoll would ("91abc" as 91, "1e3" as 1): take only a
// whole decimal number that fits, so that no other job's state is touched by a typing slip.
bool IsJobNumber(const char* text) {
  if (*text < '0' || *text > '9') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  errno = 0;
  const long long value = std::strtoll(text, nullptr, 10);
  return errno == 0 && value > 0;
}

bool IsTypeCode(const char* text) {
  return std::strcmp(text, "1") == 0 || std::strcmp(text, "2") == 0 || std::strcmp(text, "4") == 0;
}

// Checks the value of job option `o` given as `word`; false with *problem set.
bool CheckValue(const JobOption& o, const char* word, const char* value, std::string* problem) {
  const std::string w = word;
  if (o.maxValue != 0 && std::strlen(value) > o.maxValue) {
    *problem = "the value of " + w + " is longer than " + std::to_string(o.maxValue) + " bytes";
    return false;
  }
  if (std::strcmp(o.name, "-J") == 0 && !IsJobNumber(value)) {
    *problem = "bad job number \"" + std::string(value) + "\" after " + w +
               " (a whole number from 1 to " + std::to_string(LLONG_MAX) + ")";
    return false;
  }
  if ((std::strcmp(o.name, "-t") == 0 || std::strcmp(o.name, "-f") == 0) && !IsTypeCode(value)) {
    *problem = "bad type \"" + std::string(value) + "\" after " + w + " (1, 2 or 4)";
    return false;
  }
  return true;
}

}  // namespace

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: trhsm-stubjob [OPTIONS] -J JOB -D MEDIAHOST -a APPID [JOB OPTIONS]\n"
      "\n"
      "Replaces each file that backup job JOB stored, and whose archived copy still matches it,\n"
      "by a stub record that names the copy (written beside the file, synced, renamed over it).\n"
      "A file is released only when its inode, change time, size and modification time are\n"
      "still those recorded when it was archived. Refused: files changed since, hard-linked\n"
      "files, locked files, files that are not regular; skipped: files no larger than their\n"
      "stub (\"too small to release\").\n"
      "\n"
      "Options:\n"
      "  --collect-folder DIR  folder of the job's collect and failure files (default: the\n"
      "                        client's dJOB_RESULTS_DIR)\n"
      "  --dry-run             change nothing; print what would be stubbed or refused\n"
      "  --verify              also compare each file's checksum with its archived copy's\n"
      "                        (needed for copies archived without a change time)\n"
      "  --quiet               print only the summary and errors, no progress\n"
      "  --json                one JSON object per line: one per item, then a summary object\n"
      "  -h, --help            print this help and exit\n"
      "\n"
      "Job options (as the job manager passes them; names match in any case):\n"
      "  -J JOB, -j JOB        the job number, a whole number from 1 up (required)\n"
      "  -D MEDIAHOST          the media host of the job (required)\n"
      "  -a APPID              the application id, \"TYPE:INSTANCE\" (required)\n"
      "  -s SERVER             the server name (default \"default\")\n"
      "  -t TYPE, -f TYPE      the job type: 1, 2 or 4\n"
      "  -r TIME               the database reader's item time\n"
      "  -p PATH, -vm NAME, -cs NAME, -i N, -dct N, -jt TEXT, -caa N, -snapJID JOB,\n"
      "  -hadoopURI URI, -hadoopUser USER\n"
      "                        taken and passed to the job's record; not used by this job\n"
      "  -TrueUp, -snap, -snaptape, -idx2, -adhoc, -lustre, -amr\n"
      "                        flags, taken and not used by this job\n"
      "  Other words starting with '-' are left to the job manager and ignored.\n"
      "\n"
      "Configuration: KO_REGISTRY names the configuration file; under [Base] it gives\n"
      "dBACKUP_INDEX, dARCHIVE_ROOT and dJOB_MANAGER_DIR.\n"
      "\n"
      "Exit status: 0 every item stubbed, already a stub or skipped; 1 an item refused or failed,\n"
      "the job stopped on request, or an error; 2 a usage error.\n",
      out);
}

Parsed ParseOptions(int argc, char** argv, Options* o, std::string* problem) {
  o->jobArgs.assign(1, argv[0]);
  // Help wins wherever it stands, even after a word that is wrong.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Parsed::kHelp;
    }
  }
  bool haveJob = false, haveHost = false, haveApp = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dry-run") {
      o->dryRun = true;
    } else if (arg == "--verify") {
      o->verify = true;
    } else if (arg == "--quiet") {
      o->quiet = true;
    } else if (arg == "--json") {
      o->json = true;
    } else if (arg == "--collect-folder") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        *problem = "--collect-folder needs a folder";
        return Parsed::kUsageError;
      }
      o->collectFolder = argv[++i];
    } else if (arg.compare(0, 2, "--") == 0) {
      *problem = "unknown option " + arg;
      return Parsed::kUsageError;
    } else if (const JobOption* job = FindJobOption(argv[i])) {
      o->jobArgs.push_back(argv[i]);
      if (!job->takesValue) continue;
      if (i + 1 >= argc) {
        *problem = arg + " needs a value";
        return Parsed::kUsageError;
      }
      if (!CheckValue(*job, argv[i], argv[i + 1], problem)) return Parsed::kUsageError;
      o->jobArgs.push_back(argv[++i]);
      haveJob |= std::strcmp(job->name, "-J") == 0;
      haveHost |= std::strcmp(job->name, "-D") == 0;
      haveApp |= std::strcmp(job->name, "-a") == 0;
    } else if (arg.empty() || arg[0] != '-') {
      *problem = "unexpected argument \"" + arg + "\"";
      return Parsed::kUsageError;
    } else {
      o->jobArgs.push_back(argv[i]);  // the job manager's, skipped by the parser
    }
  }
  if (!haveJob || !haveHost || !haveApp) {
    *problem = std::string("missing ") + (!haveJob    ? "-J JOB"
                                          : !haveHost ? "-D MEDIAHOST"
                                                      : "-a APPID");
    return Parsed::kUsageError;
  }
  o->jobArgs.push_back(nullptr);
  return Parsed::kRun;
}

}  // namespace stubjob
