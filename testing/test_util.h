// Scratch folders and log capture for the tests.
#ifndef TRHSM_TESTING_TEST_UTIL_H_
#define TRHSM_TESTING_TEST_UTIL_H_

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

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_TEST_UTIL_H_
