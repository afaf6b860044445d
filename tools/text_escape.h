// Quoting of arbitrary bytes for the tools' text and JSON output.
#ifndef TRHSM_TOOLS_TEXT_ESCAPE_H_
#define TRHSM_TOOLS_TEXT_ESCAPE_H_

#include <string>

namespace trhsm_tools {

// A JSON string literal, quotes included, that is always valid JSON. Valid UTF-8 passes as it is
// (control characters escaped); each byte 0xXX that is not part of valid UTF-8 is written as the
// lone surrogate \udcXX, so that a reader can take back the exact bytes (the "surrogate escape":
// a valid UTF-8 text never holds U+DC80..U+DCFF, unlike \u00XX, which is a real character).
std::string JsonQuote(const std::string& bytes);

// A C-style quoted literal: printable ASCII as it is, \" \\ \n \t, other bytes as \xHH.
std::string CQuote(const std::string& bytes);

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_TEXT_ESCAPE_H_
