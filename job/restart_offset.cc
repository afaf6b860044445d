// Parsing of the restart offset out of the restart string.
#include "job/restart_offset.h"

#include <climits>
#include <vector>

#include "trhsm/FXString.h"

namespace trhsm {
namespace {

constexpr const char kBlanks[] = " \t\r\n";
constexpr const char kRestartOption[] = "-r";

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t start = text.find_first_not_of(kBlanks);
  while (start != std::string::npos) {
    size_t end = text.find_first_of(kBlanks, start);
    words.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    start = end == std::string::npos ? end : text.find_first_not_of(kBlanks, end);
  }
  return words;
}

}  // namespace

std::string RestartPhaseParameter(long offset) { return FXString::Format(" -r %ld", offset); }

RestartParse ParseRestartOffset(const std::string& text, long* offset, std::string* problem) {
  *offset = 0;
  std::vector<std::string> words = Words(text);
  if (words.empty()) return RestartParse::kNone;
  auto damaged = [problem](const std::string& why) {
    if (problem != nullptr) *problem = why;
    return RestartParse::kDamaged;
  };
  // An offset taken from another option's value would skip items that were never processed.
  if (words.size() < 2 || words[words.size() - 2] != kRestartOption) {
    return damaged("the last word does not follow \"-r\"");
  }
  const std::string& word = words.back();
  const bool negative = word[0] == '-';
  const size_t first = negative ? 1 : 0;
  if (first == word.size()) return damaged("no digits after \"-r\"");
  long magnitude = 0;
  for (size_t i = first; i < word.size(); ++i) {
    const char c = word[i];
    if (c < '0' || c > '9') return damaged("\"" + word + "\" is not a decimal number");
    const int digit = c - '0';
    if (magnitude > (LONG_MAX - digit) / 10) return damaged("\"" + word + "\" does not fit a long");
    magnitude = magnitude * 10 + digit;
  }
  const long value = negative ? -magnitude : magnitude;
  *offset = value;
  return RestartParse::kOffset;
}

}  // namespace trhsm
