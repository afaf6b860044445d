#include "testing/test_util.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trhsm_test {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) had_previous_ = true, previous_ = old;
  ::setenv(name, value.c_str(), 1);
}
ScopedEnv::~ScopedEnv() {
  had_previous_ ? ::setenv(name_.c_str(), previous_.c_str(), 1) : ::unsetenv(name_.c_str());
}

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/trhsm-test-XXXXXX";
  if (::mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp " + path_);
}
ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string LogCapture::Text() const { return ReadFile(dir_.File("log")); }
bool LogCapture::Contains(const std::string& part) const {
  return trhsm_test::Contains(Text(), part);
}
void LogCapture::Clear() { WriteFile(dir_.File("log"), ""); }

Sandbox::Sandbox(const std::string& registry, const std::string& mounts)
    : registry_("KO_REGISTRY", File("registry")), mounts_("KO_MOUNT_TABLE", File("mounts")) {
  ::mkdir(results().c_str(), 0755);
  SetRegistry(registry);
  WriteFile(File("mounts"), mounts.empty() ? "/dev/sda1 / ext4 rw 0 0\n" : mounts);
}
void Sandbox::SetRegistry(const std::string& text) const {
  WriteFile(File("registry"), "[Machines/c1]\ndJOB_RESULTS_DIR=" + results() + "\n" + text);
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  const auto quote = [](const std::string& word) {
    std::string quoted = " '";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  };
  std::string command = quote(program);
  for (const std::string& arg : args) command += quote(arg);
  ProgramRun run;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) run.out.append(buffer, n);
  const int status = ::pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

int WaitChild(int pid, int limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline)
      return ::kill(pid, SIGKILL), WaitChild(pid), -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int StartChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  int code = 98;  // for an exception
  try {
    code = body();
  } catch (...) {
  }
  std::exit(code);  // flushes the streams
}

bool WaitForLockWaiter(const std::string& path, int limitMs) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  do {
    std::istringstream locks(ReadFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);)
      if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos)
        return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content)) throw std::runtime_error("write " + path);
}

}  // namespace trhsm_test
