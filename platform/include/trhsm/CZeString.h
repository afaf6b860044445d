// A byte string with appending and null-safe comparison.
#ifndef TRHSM_CZESTRING_H_
#define TRHSM_CZESTRING_H_

#include <cstring>
#include <string>
#include <utility>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT CZeString {
 public:
  CZeString() = default;
  CZeString(const char* text) : value_(text ? text : "") {}  // NOLINT: implicit by design
  CZeString(std::string text) : value_(std::move(text)) {}   // NOLINT: implicit by design

  CZeString& Append(const char* text);
  CZeString& Append(const std::string& text);

  // Exact byte equality; a null pointer equals the empty string.
  bool operator==(const char* other) const;
  bool operator!=(const char* other) const { return !(*this == other); }
  bool operator==(const CZeString& other) const { return value_ == other.value_; }

  const char* c_str() const { return value_.c_str(); }
  operator const char*() const { return value_.c_str(); }  // NOLINT: implicit by design
  const std::string& str() const { return value_; }
  size_t length() const { return value_.size(); }
  bool empty() const { return value_.empty(); }

 private:
  std::string value_;
};

#endif  // TRHSM_CZESTRING_H_
