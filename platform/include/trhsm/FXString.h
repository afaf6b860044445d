// String formatting and splitting.
#ifndef TRHSM_FXSTRING_H_
#define TRHSM_FXSTRING_H_

#include <cstdarg>
#include <string>
#include <vector>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT FXString {
 public:
  // printf into a new string, of any length.
  static std::string Format(const char* format, ...) TRHSM_PRINTF(1, 2);
  static std::string FormatV(const char* format, va_list args);
  // Cuts `text` at every occurrence of `separators` (the whole string is one separator), in order,
  // replacing the earlier content of `tokens`; empty pieces are kept, so "a::b" on ":" gives
  // "a", "", "b" and "" gives one empty token; an empty `separators` leaves the text whole, one
  // token. `flags` is reserved (0). Returns the token count.
  static int Split(const std::string& text, const std::string& separators,
                   std::vector<std::string>& tokens, int flags);
};

#endif  // TRHSM_FXSTRING_H_
