// ApplicationId: reading the application type out of an application-id text.
#include "trhsm/ApplicationId.h"

#include <limits>

ApplicationId::ApplicationId(const std::string& text) : text_(text) {}

int ApplicationId::getAppType(unsigned long& type, void* /*reserved*/) const {
  const std::string::size_type end = text_.find(':');
  const std::string field = text_.substr(0, end);
  if (field.empty()) return 0;
  constexpr unsigned long kMax = std::numeric_limits<unsigned long>::max();
  unsigned long value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return 0;
    const unsigned long digit = static_cast<unsigned long>(c - '0');
    // An overflowing number names no type; wrapping would name another one.
    if (value > (kMax - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  type = value;
  return 1;
}
