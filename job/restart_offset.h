// Reading the restart offset back out of the job's restart string, the phase parameters that the
// previous run stored as " -r <offset>".
#ifndef TRHSM_JOB_RESTART_OFFSET_H_
#define TRHSM_JOB_RESTART_OFFSET_H_

#include <string>

namespace trhsm {

// The phase parameter text that stores `offset`: " -r <offset>".
std::string RestartPhaseParameter(long offset);

enum class RestartParse {
  kNone,     // the text holds no words: there is no offset, 0
  kOffset,   // the text ends in "-r" and a decimal number that fits a long
  kDamaged,  // anything else; *problem says why
};

// Reads `text`, words separated by blanks (space, tab, CR, LF). The offset is the last word, which
// must follow a word "-r" and be an optional '-' and one or more decimal digits, nothing else, of
// at most LONG_MAX (a leading '-' negates the value); *offset is then that value. For kNone and
// kDamaged *offset is 0. `problem` may be null.
RestartParse ParseRestartOffset(const std::string& text, long* offset, std::string* problem);

}  // namespace trhsm

#endif  // TRHSM_JOB_RESTART_OFFSET_H_
