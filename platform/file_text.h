// Reading a whole small file (configuration, restart text) in one piece.
#ifndef TRHSM_PLATFORM_FILE_TEXT_H_
#define TRHSM_PLATFORM_FILE_TEXT_H_

#include <string>

namespace trhsm {
namespace platform {

// Replaces *text by the whole content of `path` and returns 0, or returns the errno of the open
// or read that failed with *text empty: part of a file is never handed out, since half a store or
// half a restart text reads as a different, whole one. Retries EINTR; logs nothing.
int ReadFileText(const char* path, std::string* text);

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_FILE_TEXT_H_
