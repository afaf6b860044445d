// A byte string with appending, null-safe comparison and quote-aware tokenizing.
#ifndef TRHSM_CZESTRING_H_
#define TRHSM_CZESTRING_H_

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

  // Splits the string into fields. The rules, for every byte of the text from left to right:
  //  - A field ends at a `separator` outside quotes; a text with N such separators has N + 1
  //    fields, so empty fields (",," or a trailing ",") give empty tokens. An empty text has none.
  //  - A field is quoted when its first byte is `openQuote`. The quote is removed and the bytes up
  //    to the next unescaped `closeQuote` (removed too) are taken literally, separators included.
  //    Bytes after the closing quote up to the next separator are appended as unquoted text.
  //  - An `openQuote` anywhere but at the start of a field is an ordinary byte.
  //  - `escape` makes the next byte literal, inside and outside quotes; the escape byte itself is
  //    removed. An escape as the very last byte of the text is kept as an ordinary byte.
  //  - An unterminated quote runs to the end of the text, and that field is then kept exactly as
  //    written (opening quote and escapes included): a cut line is not silently "repaired".
  // Replaces the content of `tokens` with one token per field, in field order, reusing the
  // vector's capacity and the tokens' own buffers, so a caller that passes the same vector for
  // every line allocates almost nothing. `flag` is accepted for callers that pass false and has
  // no effect. Returns the number of tokens.
  // REQUIRES: `separator` differs from the quote and escape characters.
  int Tokenize(std::vector<CZeString>& tokens, char openQuote, char closeQuote, char escape,
               char separator, bool flag) const;

  // The same rules on any text, without copying: each token of `out` (its content replaced)
  // views either `line` itself, when the field needed no unquoting or only lost its quotes, or
  // `scratch`, which receives the unescaped fields. The views stay valid while `line`'s bytes and
  // `scratch` are left alone (the next call with the same scratch invalidates them). Returns the
  // number of tokens.
  static int TokenizeViews(std::string_view line, char openQuote, char closeQuote, char escape,
                           char separator, std::vector<std::string_view>& out,
                           std::string& scratch);

 private:
  std::string value_;
};

#endif  // TRHSM_CZESTRING_H_
