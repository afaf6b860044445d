// Every fuzz target checks, aborting with the reason: no crash or undefined behaviour; no item from
// a cut line (WholeLines); exact round trips; a refusal leaves its outputs as they were.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(ok) \
  ((ok) ? (void)0      \
        : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #ok), abort()))

// A target of two parts: byte 0 even hands the rest of the input to `even`, odd to `odd`.
#define FUZZ_PARTS(even, odd)                                               \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    if (size > 0) (data[0] & 1 ? odd : even)(data + 1, size - 1);           \
    return 0;                                                               \
  }

namespace trhsm_fuzz {

// The log to /dev/null, at KO_LOG_LEVEL 0 (7 also formats every refusal's message).
inline const int kQuiet = setenv("KO_LOG_FILE", "/dev/null", 1) | setenv("KO_LOG_LEVEL", "0", 1);

// Calls `each` with every line of `text` (without its line feed), the last one even if unended.
template <typename Each>
void ForLines(std::string_view text, Each each) {
  for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
    nl = std::min(text.find('\n', at), text.size());
    each(text.substr(at, nl - at));
  }
}

// Next(): the next line of `text` that `accept` takes of those an item may come from: ended by a
// line feed, without NUL and at most `longest` bytes.
struct WholeLines {
  std::string_view text;
  size_t longest;
  template <typename Accept>
  bool Next(Accept accept) {
    for (size_t nl; (nl = text.find('\n')) != text.npos;) {
      const std::string_view line = text.substr(0, nl);
      text.remove_prefix(nl + 1);
      if (nl <= longest && line.find('\0') == line.npos && accept(line)) return true;
    }
    return false;
  }
};

// The process's scratch folder (TMPDIR, else /dev/shm), made at first use and removed at exit.
inline int Remove(const char* path, const struct stat*, int, FTW*) { return remove(path); }
inline const std::string& Scratch() {
  static const struct Folder {
    std::string path = getenv("TMPDIR") ?: access("/dev/shm", W_OK) ? "/tmp" : "/dev/shm";
    Folder() { FUZZ_CHECK(mkdtemp(&(path += "/trhsm-fuzz-XXXXXX")[0]) != nullptr); }
    ~Folder() { nftw(path.c_str(), Remove, 9, FTW_DEPTH | FTW_PHYS); }
  } folder;
  return folder.path;
}
inline std::string Path(const std::string& name) { return Scratch() + "/" + name; }

// Writes `text` as the scratch file `name`; returns its path.
inline std::string Write(const std::string& name, std::string_view text) {
  FUZZ_CHECK(std::ofstream(Path(name), std::ios::binary).write(text.data(), text.size()).good());
  return Path(name);
}

inline int SetFile(const char* var, const std::string& name, std::string_view text = "") {
  return setenv(var, Write(name, text).c_str(), 1);
}

inline std::string_view Text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace trhsm_fuzz
