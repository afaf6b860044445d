// Child-process runs of the tools, with extra environment and the preloaded fault shim.
#include "tools/tool_fault_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "testing/test_util.h"

extern char** environ;

namespace trhsm_test {

std::string Fault::Describe() const {
  const char* name = err == ENOSPC ? "ENOSPC" : err == EINTR ? "EINTR" : "EIO";
  return op + ":" + std::to_string(n) + ":" + name + ":" + (sticky ? "sticky" : "once");
}

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   std::vector<std::string> env, const Fault* fault, const std::string& scratch) {
  const std::string log = scratch + "/fault.log";
  if (fault != nullptr) {
    ::unlink(log.c_str());
    // The shim goes ahead of a sanitizer runtime; leaks of runs cut short are not looked for.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back("ASAN_OPTIONS=" + std::string(asan != nullptr ? asan : "") +
                  ":verify_asan_link_order=0:detect_leaks=0");
    env.push_back("LD_PRELOAD=" TRHSM_FAULT_PRELOAD_PATH);
    env.push_back("TRHSM_TEST_FAULT=" + fault->Describe());
    env.push_back("TRHSM_TEST_FAULT_LOG=" + log);
  }
  // Everything the child needs is built before fork: it only calls async-signal-safe functions.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& extra : env)
      replaced |= extra.compare(0, entry.find('=') + 1, entry, 0, entry.find('=') + 1) == 0;
    if (!replaced) envStrings.push_back(entry);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<std::string> argStrings = {program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> envp, argv;
  for (std::string& e : envStrings) envp.push_back(&e[0]);
  for (std::string& a : argStrings) argv.push_back(&a[0]);
  envp.push_back(nullptr);
  argv.push_back(nullptr);
  ToolResult result;
  ScratchDir out;
  const int fd = ::open(out.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
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
  result.status = WaitChild(pid, 60000);
  result.out = ReadFile(out.File("out"));
  result.fired = fault != nullptr && Contains(ReadFile(log), "fault fired " + fault->op);
  return result;
}

}  // namespace trhsm_test
