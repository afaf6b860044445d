// Scratch folders, environment, child processes and log capture for the tests.
#ifndef TRHSM_TESTING_TEST_UTIL_H_
#define TRHSM_TESTING_TEST_UTIL_H_

#include <functional>
#include <string>
#include <vector>

namespace trhsm_test {

// Sets an environment variable for the object's lifetime, restoring it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_, previous_;
  bool had_previous_ = false;
};

// A fresh folder under $TMPDIR (or /tmp), removed with all it holds on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Points KO_LOG_FILE at a file of its own for its lifetime: what was logged meanwhile.
class LogCapture {
 public:
  std::string Text() const;
  bool Contains(const std::string& fragment) const;  // some logged line contains `fragment`
  void Clear();                                      // forgets what was logged so far

 private:
  ScratchDir dir_;
  ScopedEnv env_{"KO_LOG_FILE", dir_.File("log")};
};

// A scratch folder that is the stand-ins' whole world for the object's lifetime: KO_REGISTRY names
// its file "registry" (`registry` plus client "c1" with dJOB_RESULTS_DIR = results()),
// KO_MOUNT_TABLE its file "mounts" (`mounts`, or one ext4 root), and results() exists.
class Sandbox : public ScratchDir {
 public:
  explicit Sandbox(const std::string& registry = "", const std::string& mounts = "");
  std::string results() const { return File("results"); }
  void SetRegistry(const std::string& text) const;

 private:
  ScopedEnv registry_, mounts_;
};

// A program run through the shell: its exit status (-1 when it did not exit) and its output
// (standard output and error).
struct ProgramRun {
  int status = -1;
  std::string out;
};
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args);

// The exit code of child `pid`; one still running after `limitMs` is killed and gives -1.
int WaitChild(int pid, int limitMs = 30000);
// Forks a child that exits (through exit(), so coverage counts are kept) with body()'s result, 98
// for an exception; returns its pid, -1 when fork failed. Fork while no other thread runs.
int StartChild(const std::function<int()>& body);
inline int InChild(const std::function<int()>& body, int limitMs = 30000) {
  const int pid = StartChild(body);
  return pid < 0 ? -1 : WaitChild(pid, limitMs);
}
// Waits until some process or thread waits for a lock on file `path` (/proc/locks); false when
// none did within `limitMs`.
bool WaitForLockWaiter(const std::string& path, int limitMs = 10000);

// The entry names of folder `path`, sorted; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& path);
std::string ReadFile(const std::string& path);  // "" for a missing file
void WriteFile(const std::string& path, const std::string& content);
// For EXPECT_PRED2(Contains, text, part), which prints both.
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_TEST_UTIL_H_
