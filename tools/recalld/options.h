// trhsm-recalld's command line.
#ifndef TRHSM_TOOLS_RECALLD_OPTIONS_H_
#define TRHSM_TOOLS_RECALLD_OPTIONS_H_

#include <string>
#include <vector>

namespace recalld {

struct Options {
  bool help = false;
  bool foreground = false;
  std::string archive;                           // "" until the registry names it
  unsigned jobs = 4;                             // recalls at a time
  std::string state = "/var/lib/trhsm-recalld";  // intents of recalls in progress
  std::string run = "/run/trhsm-recalld";        // which daemon watches which trees
  std::string log;                               // "" for standard error
  std::vector<std::string> trees;
};

// Fills *o; "" when the words make sense, else what is wrong with them (naming the word).
std::string ParseOptions(int argc, char** argv, Options* o);

// The full usage, on standard output.
void PrintHelp();

// A usage error on standard error: the problem, the synopsis, where to read more. Returns 2.
int Usage(const std::string& problem);

}  // namespace recalld

#endif  // TRHSM_TOOLS_RECALLD_OPTIONS_H_
