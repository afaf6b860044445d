// A per-process scratch folder for fuzz targets that need real files: made once under $TMPDIR (or
// /tmp) on first use and removed with its contents when the process exits.
#pragma once

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace trhsm_fuzz {

namespace detail {

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

struct ScratchFolder {
  std::string path;
  ScratchFolder() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/trhsm-fuzz-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      std::perror("fuzz scratch folder");
      abort();
    }
    path = pattern;
  }
  ~ScratchFolder() { nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
};

}  // namespace detail

// The folder's path, without a trailing slash.
inline const std::string& ScratchFolder() {
  static detail::ScratchFolder folder;
  return folder.path;
}

}  // namespace trhsm_fuzz
