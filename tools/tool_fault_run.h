// Runs a tool as a child process with extra environment, optionally under the preloaded I/O fault
// shim (testing/fault_inject.h), for the tools' fault and hostile-path tests.
#ifndef TRHSM_TOOLS_TOOL_FAULT_RUN_H_
#define TRHSM_TOOLS_TOOL_FAULT_RUN_H_

#include <functional>
#include <string>
#include <vector>

namespace trhsm_test {

struct ToolResult {
  int status = -1;     // exit status; -1 when killed, timed out or not started
  std::string out;     // standard output and standard error together
  bool fired = false;  // the armed fault failed a call (the shim logged it)
};

// Runs `program` with `args`; its environment is this process's plus `env` ("NAME=VALUE",
// replacing a variable of the same name). A child still running after `limitMs` is killed.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {}, int limitMs = 60000);

// A fault for a preloaded run: the n-th `op` call fails with `err`, and every later one when
// `sticky`.
struct Fault {
  std::string op;
  long n = 1;
  int err = 0;
  bool sticky = false;
  std::string Describe() const;  // "write:3:ENOSPC:once"
};

// RunTool under LD_PRELOAD of the fault shim armed with `fault`; `scratch` is a folder for the
// shim's log. ToolResult::fired tells whether the fault fired. With `meanwhile` set, the tool is
// killed with SIGKILL as soon as the fault has fired, as a crash at that call would stop it
// (ToolResult::status is then -1), and `meanwhile` runs just before the kill: armed with EINTR and
// sticky, a call that is retried on EINTR holds the tool there meanwhile.
ToolResult RunToolWithFault(const std::string& program, const std::vector<std::string>& args,
                            const Fault& fault, const std::string& scratch,
                            std::vector<std::string> env = {},
                            const std::function<void()>& meanwhile = {});

// The operations and errors every sweep goes through.
inline const char* const kSweepOps[] = {"open", "write", "fsync", "close", "rename"};
inline const int kSweepErrors[] = {28 /* ENOSPC */, 5 /* EIO */};

}  // namespace trhsm_test

#endif  // TRHSM_TOOLS_TOOL_FAULT_RUN_H_
