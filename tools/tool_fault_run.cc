// Child-process runs of the tools, with extra environment and the preloaded fault shim.
#include "tools/tool_fault_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "testing/test_util.h"

extern char** environ;

namespace trhsm_test {

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, int limitMs) {
  ToolResult result;
  ScratchDir out;
  const std::string outPath = out.File("out");
  // Everything the child needs is built before fork: the child only calls async-signal-safe
  // functions.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& extra : env)
      replaced |= extra.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fd);
  if (pid < 0) return result;
  result.status = WaitChild(pid, limitMs);
  result.out = ReadFile(outPath);
  return result;
}

std::string Fault::Describe() const {
  return op + ":" + std::to_string(n) + ":" + (err == ENOSPC ? "ENOSPC" : "EIO") + ":" +
         (sticky ? "sticky" : "once");
}

ToolResult RunToolWithFault(const std::string& program, const std::vector<std::string>& args,
                            const Fault& fault, const std::string& scratch,
                            std::vector<std::string> env) {
  const std::string log = scratch + "/fault.log";
  ::unlink(log.c_str());
  // The shim is preloaded ahead of the sanitizer runtime. Leaks are not looked for: a run cut
  // short by a fault exits at once, and the sweeps' hundreds of runs would each pay for the scan.
  std::string asan = "verify_asan_link_order=0:detect_leaks=0";
  if (const char* old = std::getenv("ASAN_OPTIONS"); old != nullptr && *old != '\0') {
    asan = std::string(old) + ":" + asan;
  }
  env.push_back("LD_PRELOAD=" TRHSM_FAULT_PRELOAD_PATH);
  env.push_back("TRHSM_TEST_FAULT=" + fault.Describe());
  env.push_back("TRHSM_TEST_FAULT_LOG=" + log);
  env.push_back("ASAN_OPTIONS=" + asan);
  ToolResult result = RunTool(program, args, env);
  result.fired = ReadFile(log).find("fault fired " + fault.op) != std::string::npos;
  return result;
}

}  // namespace trhsm_test
