// Runs a tool as a child process with extra environment, optionally under the preloaded I/O fault
// shim (testing/fault_inject.h), for the tools' fault and hostile-path tests.
#ifndef TRHSM_TOOLS_TOOL_FAULT_RUN_H_
#define TRHSM_TOOLS_TOOL_FAULT_RUN_H_

#include <string>
#include <vector>

namespace trhsm_test {

struct ToolResult {
  int status = -1;     // exit status; -1 when killed, timed out or not started
  std::string out;     // standard output and standard error together
  bool fired = false;  // the armed fault failed a call (the shim logged it)
};

// A fault for a preloaded run: the n-th `op` call fails with `err`, and every later one when
// `sticky`.
struct Fault {
  std::string op;
  long n = 1;
  int err = 0;
  bool sticky = false;
  std::string Describe() const;  // "write:3:ENOSPC:once"
};

// Runs `program` with `args` (its environment this process's plus `env`, "NAME=VALUE"); with a
// `fault`, under LD_PRELOAD of the fault shim armed with it, whose log goes to folder `scratch`.
// A child still running after a minute is killed.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   std::vector<std::string> env = {}, const Fault* fault = nullptr,
                   const std::string& scratch = "");

}  // namespace trhsm_test

#endif  // TRHSM_TOOLS_TOOL_FAULT_RUN_H_
