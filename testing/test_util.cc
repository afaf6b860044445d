// Scratch folders and log capture for the tests.
#include "testing/test_util.h"

#include <dirent.h>
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

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/trhsm-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::File(const std::string& name) const { return path_ + "/" + name; }

LogCapture::LogCapture() : file_(dir_.File("log")) {
  if (const char* old = std::getenv("KO_LOG_FILE")) {
    had_previous_ = true;
    previous_ = old;
  }
  setenv("KO_LOG_FILE", file_.c_str(), 1);
}

LogCapture::~LogCapture() {
  if (had_previous_) {
    setenv("KO_LOG_FILE", previous_.c_str(), 1);
  } else {
    unsetenv("KO_LOG_FILE");
  }
}

std::string LogCapture::Text() const { return ReadFile(file_); }

bool LogCapture::Contains(const std::string& fragment) const {
  return Text().find(fragment) != std::string::npos;
}

void LogCapture::Clear() { WriteFile(file_, ""); }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    had_previous_ = true;
    previous_ = old;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_previous_) {
    setenv(name_.c_str(), previous_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

namespace {

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::string cmd = ShellQuote(program);
  for (const auto& a : args) cmd += " " + ShellQuote(a);
  cmd += " 2>&1";
  ProgramRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

int WaitChild(int pid, int limitMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
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
  out << content;
  if (!out) throw std::runtime_error("write " + path);
}

int StartChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 98;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    std::exit(code);
  }
  return pid;
}

bool WaitForLockWaiter(const std::string& path, int limitMs) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  do {
    std::istringstream locks(ReadFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
      if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

Sandbox::Sandbox(const std::string& registry, const std::string& mounts)
    : registry_("KO_REGISTRY", File("registry")), mounts_("KO_MOUNT_TABLE", File("mounts")) {
  ::mkdir(results().c_str(), 0755);
  SetRegistry(registry);
  WriteFile(File("mounts"), mounts.empty() ? "/dev/sda1 / ext4 rw 0 0\n" : mounts);
}

void Sandbox::SetRegistry(const std::string& text) const {
  WriteFile(File("registry"), "[Machines/c1]\ndJOB_RESULTS_DIR=" + results() + "\n" + text);
}

}  // namespace trhsm_test
