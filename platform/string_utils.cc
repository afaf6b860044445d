// CZeString, CZeError and FXString: the string helpers of the client's utility library.
#include <cstdio>

#include "trhsm/CZeError.h"
#include "trhsm/CZeString.h"
#include "trhsm/FXString.h"

CZeString& CZeString::Append(const char* text) {
  if (text != nullptr) value_.append(text);
  return *this;
}

CZeString& CZeString::Append(const std::string& text) {
  value_.append(text);
  return *this;
}

bool CZeString::operator==(const char* other) const {
  return other == nullptr ? value_.empty() : value_ == other;
}

std::string CZeError::AsString() const {
  if (!text_.empty()) return text_;
  return IsError() ? "error " + std::to_string(code_) : "success";
}

std::string FXString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

std::string FXString::FormatV(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  // Measure first, then format into a string of exactly that size: no length limit.
  va_list measure;
  va_copy(measure, args);
  // The analyzer does not follow va_copy; `measure` is initialised.
  int needed =
      std::vsnprintf(nullptr, 0, format, measure);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(measure);
  if (needed <= 0) return std::string();
  std::string text(static_cast<size_t>(needed), '\0');
  va_list fill;
  va_copy(fill, args);
  std::vsnprintf(text.data(), text.size() + 1, format, fill);
  va_end(fill);
  return text;
}

int FXString::Split(const std::string& text, const std::string& separators,
                    std::vector<std::string>& tokens, int /*flags*/) {
  tokens.clear();
  // An empty separator occurs nowhere: the text is one token.
  if (separators.empty()) {
    tokens.push_back(text);
    return 1;
  }
  size_t start = 0;
  for (;;) {
    size_t found = text.find(separators, start);
    if (found == std::string::npos) break;
    tokens.push_back(text.substr(start, found - start));
    start = found + separators.size();
  }
  tokens.push_back(text.substr(start));
  return static_cast<int>(tokens.size());
}
