// Counts, sizes and configuration problems as the tools print them to a person.
#ifndef TRHSM_TOOLS_REPORT_TEXT_H_
#define TRHSM_TOOLS_REPORT_TEXT_H_

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace trhsm_tools {

// "1 item", "2 items", "0 items": `n` and the noun that agrees with it.
inline std::string Count(uint64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// A size in decimal units, one decimal from kB up: "1 byte", "512 bytes", "26.3 MB", "1.2 GB".
inline std::string Bytes(uint64_t n) {
  if (n < 1000) return Count(n, "byte", "bytes");
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(n) / 1000.0;
  size_t unit = 0;
  // 999.95 would print as "1000.0": step up once it rounds to that.
  while (value >= 999.95 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

// Empty when the configuration store the stand-ins read (the file KO_REGISTRY names) can be read;
// otherwise one line that says what to fix: "KO_REGISTRY is not set (...)" or "cannot read registry
// PATH: REASON".
inline std::string RegistryProblem() {
  const char* path = std::getenv("KO_REGISTRY");
  if (path == nullptr || *path == '\0') {
    return "KO_REGISTRY is not set (set it to the configuration file of the client)";
  }
  struct stat st;
  if (::stat(path, &st) != 0) {
    return std::string("cannot read registry ") + path + ": " + std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) {
    return std::string("cannot read registry ") + path + ": " + std::strerror(EISDIR);
  }
  return "";
}

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_REPORT_TEXT_H_
