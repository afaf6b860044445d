// Application identifiers of the application-manager library.
#ifndef TRHSM_APPLICATIONID_H_
#define TRHSM_APPLICATIONID_H_

#include <string>

#include "trhsm/trhsm_platform_export.h"

// An application named by its application-id text, "<type>:<instance>[:...]" with decimal
// numbers. Copyable value; thread-compatible.
class TRHSM_PLATFORM_EXPORT ApplicationId {
 public:
  // Keeps a copy of `text`; any text is accepted, its reading is deferred to the queries.
  explicit ApplicationId(const std::string& text);

  const std::string& text() const { return text_; }

  // Stores in `type` the application type number, the text's first colon-separated field, and
  // returns 1. Returns 0 and leaves `type` as it was when that field is not a decimal number (one
  // or more digits, nothing else) that fits an unsigned long, e.g. for an empty text. `reserved`
  // is not used.
  int getAppType(unsigned long& type, void* reserved = nullptr) const;

 private:
  std::string text_;
};

#endif  // TRHSM_APPLICATIONID_H_
