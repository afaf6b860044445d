// Child-process runs of the tools, with extra environment and the preloaded fault shim.
#include "tools/tool_fault_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "testing/test_util.h"

extern char** environ;

namespace trhsm_test {

namespace {

// RunTool; with `meanwhile` set, it runs as soon as file `killWhen` holds something, and the child
// is killed then.
ToolResult Run(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, int limitMs, const std::string& killWhen,
               const std::function<void()>& meanwhile) {
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
  if (meanwhile) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    // Waited on without reaping (WNOWAIT): a child that ended first is still reaped below.
    const auto running = [pid] {
      siginfo_t info = {};
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             info.si_pid == 0;
    };
    struct stat st;
    while (!(::stat(killWhen.c_str(), &st) == 0 && st.st_size > 0) &&
           std::chrono::steady_clock::now() < deadline && running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (running()) meanwhile();
    ::kill(pid, SIGKILL);  // a no-op for a child that has ended: it stays unreaped until then
  }
  result.status = WaitChild(pid, limitMs);
  result.out = ReadFile(outPath);
  return result;
}

}  // namespace

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, int limitMs) {
  return Run(program, args, env, limitMs, "", {});
}

std::string Fault::Describe() const {
  const char* name = err == ENOSPC ? "ENOSPC" : err == EINTR ? "EINTR" : "EIO";
  return op + ":" + std::to_string(n) + ":" + name + ":" + (sticky ? "sticky" : "once");
}

ToolResult RunToolWithFault(const std::string& program, const std::vector<std::string>& args,
                            const Fault& fault, const std::string& scratch,
                            std::vector<std::string> env, const std::function<void()>& meanwhile) {
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
  ToolResult result = Run(program, args, env, 60000, log, meanwhile);
  result.fired = ReadFile(log).find("fault fired " + fault.op) != std::string::npos;
  return result;
}

}  // namespace trhsm_test
