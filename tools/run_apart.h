// For the tools' tests: runs a tool with its standard output and standard error kept apart.
#ifndef TRHSM_TOOLS_RUN_APART_H_
#define TRHSM_TOOLS_RUN_APART_H_

#include <string>
#include <vector>

#include "testing/test_util.h"

namespace trhsm_test {

struct Streams {
  int status;       // exit status, -1 when the tool did not exit
  std::string out;  // standard output ("" when it went to `out`)
  std::string err;  // standard error
};

// Runs `program` with `args`; its standard output goes to the file `out` when that is not empty.
inline Streams RunApart(const std::string& program, const std::vector<std::string>& args,
                        const std::string& out = "") {
  ScratchDir dir;
  std::vector<std::string> shell = {
      "-c", "\"$0\" \"$@\" 2>" + dir.File("err") + (out.empty() ? "" : " >" + out), program};
  shell.insert(shell.end(), args.begin(), args.end());
  ProgramRun r = RunProgram("/bin/sh", shell);
  return {r.status, r.out, ReadFile(dir.File("err"))};
}

}  // namespace trhsm_test

#endif  // TRHSM_TOOLS_RUN_APART_H_
