// Quoting of arbitrary bytes for the tools' text and JSON output.
#ifndef TRHSM_TOOLS_TEXT_ESCAPE_H_
#define TRHSM_TOOLS_TEXT_ESCAPE_H_

#include <string>

namespace trhsm_tools {

// A JSON string literal, quotes included. Valid UTF-8 passes as it is; any other byte is written
// as \u00XX so the output is always valid JSON.
std::string JsonQuote(const std::string& bytes);

// A C-style quoted literal: printable ASCII as it is, \" \\ \n \t, other bytes as \xHH.
std::string CQuote(const std::string& bytes);

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_TEXT_ESCAPE_H_
