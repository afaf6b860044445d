// An error value: a code (negative means error) and a text.
#ifndef TRHSM_CZEERROR_H_
#define TRHSM_CZEERROR_H_

#include <string>
#include <utility>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT CZeError {
 public:
  CZeError() = default;
  CZeError(int code, std::string text) : code_(code), text_(std::move(text)) {}

  bool IsError() const { return code_ < 0; }
  int GetCode() const { return code_; }
  // The error's text; "success" for a value that is not an error and has no text.
  std::string AsString() const;

 private:
  int code_ = 0;
  std::string text_;
};

#endif  // TRHSM_CZEERROR_H_
