// Scratch folders and log capture for the tests.
#include "testing/test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

}  // namespace trhsm_test
