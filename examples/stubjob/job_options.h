// The stub job's command line: its own long options, the job options the library's parser takes,
// and the checks that the parser does not make (a job number with junk after it, stray words).
#ifndef TRHSM_EXAMPLES_STUBJOB_JOB_OPTIONS_H_
#define TRHSM_EXAMPLES_STUBJOB_JOB_OPTIONS_H_

#include <cstdio>
#include <string>
#include <vector>

namespace stubjob {

struct Options {
  std::string collectFolder;  // empty: the client's job results folder
  bool dryRun = false;
  bool verify = false;
  bool quiet = false;
  bool json = false;
  // argv[0] and the job options, for ProcessCommandLineArguments; ends with a null entry.
  std::vector<char*> jobArgs;
};

enum class Parsed { kRun, kHelp, kUsageError };

// Splits argv into *o. kUsageError sets *problem to one line naming the offending word; kHelp
// means --help or -h was given. `argv` must outlive o->jobArgs.
Parsed ParseOptions(int argc, char** argv, Options* o, std::string* problem);

// The full usage text, every option explained.
void PrintUsage(FILE* out);

}  // namespace stubjob

#endif  // TRHSM_EXAMPLES_STUBJOB_JOB_OPTIONS_H_
