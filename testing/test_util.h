// Scratch folders and log capture for the tests.
#ifndef TRHSM_TESTING_TEST_UTIL_H_
#define TRHSM_TESTING_TEST_UTIL_H_

#include <functional>
#include <string>
#include <vector>

namespace trhsm_test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Points KO_LOG_FILE at a file of its own for its lifetime (restoring the earlier value after), so
// a test can read exactly what was logged while it lived.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string Text() const;
  // True when some logged line contains `fragment`.
  bool Contains(const std::string& fragment) const;
  // Forgets what was logged so far.
  void Clear();

 private:
  ScratchDir dir_;
  std::string file_;
  bool had_previous_ = false;
  std::string previous_;
};

// Sets an environment variable for the lifetime of the object, restoring it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_previous_ = false;
  std::string previous_;
};

// What a program run through the shell printed (standard output and error) and its exit status
// (-1 when it did not exit normally).
struct ProgramRun {
  int status = -1;
  std::string out;
};
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args);

// The exit code of the child `pid`; a child still running after `limitMs` is killed and gives -1,
// so a lock that is never granted fails the test instead of hanging it.
int WaitChild(int pid, int limitMs = 30000);

// The entry names of folder `path` ("." and ".." left out), sorted; empty when it cannot be read.
std::vector<std::string> ListFolder(const std::string& path);

// Whole-file helpers; ReadFile gives "" for a missing file.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// True when `part` occurs in `text`; for EXPECT_PRED2(Contains, text, part), which prints both.
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Forks a child that runs body() and exits with its result (an exception gives 98) through
// exit(), so a coverage build keeps its counts; returns the child's pid (-1 when fork failed).
// Fork from the main thread while no other thread runs, or the child may inherit a held lock.
int StartChild(const std::function<int()>& body);
// StartChild, then WaitChild.
inline int InChild(const std::function<int()>& body, int limitMs = 30000) {
  const int pid = StartChild(body);
  return pid < 0 ? -1 : WaitChild(pid, limitMs);
}

// Waits until some process or thread waits for a lock on the file `path` (a blocked request in
// /proc/locks); false when none did within `limitMs`.
bool WaitForLockWaiter(const std::string& path, int limitMs = 10000);

// A scratch folder that is the stand-ins' whole world for the object's lifetime: KO_REGISTRY
// names its file "registry" (`registry` plus client "c1" with dJOB_RESULTS_DIR = results()),
// KO_MOUNT_TABLE its file "mounts" (`mounts`, or one ext4 root), and results() exists.
class Sandbox : public ScratchDir {
 public:
  explicit Sandbox(const std::string& registry = "", const std::string& mounts = "");
  std::string results() const { return File("results"); }
  void SetRegistry(const std::string& text) const;

 private:
  ScopedEnv registry_;
  ScopedEnv mounts_;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_TEST_UTIL_H_
