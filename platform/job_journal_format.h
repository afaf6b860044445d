// The job-manager folder of the job-client stand-in: its configuration, file names and the journal
// line format, shared by the writer (platform/job_client.cc) and whoever reads the folder back.
//
// A journal line is the operation's name, then its arguments, each after one blank, then '\n':
//   number       decimal, with a '-' when negative; bool as 0 or 1, enumerations as their value
//   text         in double quotes; '"' is written \" , '\' as \\ , newline as \n and carriage
//                return as \r, so every call stays one line; all other bytes are written as they
//                are
//   null pointer -                 (a null text or a null list)
//   text list    [] holding the quoted texts separated by ',' (no blanks)
// Examples: complete 3 1 0 0 | concatPhaseParams " -r 5000" 2 | init "job" 7 1 4 0 -
// Out-parameters are not written. Each line goes out in one write(2) on an O_APPEND descriptor.
#ifndef TRHSM_PLATFORM_JOB_JOURNAL_FORMAT_H_
#define TRHSM_PLATFORM_JOB_JOURNAL_FORMAT_H_

#include <string>

namespace trhsm {
namespace job_journal {

// Configuration values under kRegistryKey.
constexpr const char kRegistryKey[] = "Base";
constexpr const char kFolderValue[] = "dJOB_MANAGER_DIR";
constexpr const char kRefuseValue[] = "sJOB_MANAGER_REFUSE";
constexpr char kRefuseSeparator = ',';

// Files of one job in the folder: "<jobId>" followed by one of these.
constexpr const char kJournalSuffix[] = ".journal";
constexpr const char kRestartSuffix[] = ".restart";
constexpr const char kQuitSuffix[] = ".quit";
// A restart file is written to "<jobId>.restart.tmp.<pid>.<n>" and renamed over the real one.
constexpr const char kTemporaryInfix[] = ".tmp.";

constexpr char kArgumentSeparator = ' ';
constexpr char kQuote = '"';
constexpr char kEscape = '\\';
constexpr const char kNullPointer[] = "-";
constexpr char kListOpen = '[';
constexpr char kListClose = ']';
constexpr char kListSeparator = ',';
constexpr char kLineEnd = '\n';

// `text` quoted and escaped as a journal text argument.
inline std::string QuoteText(const std::string& text) {
  std::string quoted(1, kQuote);
  for (char c : text) {
    switch (c) {
      case kQuote:
      case kEscape:
        quoted += kEscape;
        quoted += c;
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      default:
        quoted += c;
    }
  }
  quoted += kQuote;
  return quoted;
}

// "<folder>/<jobId><suffix>"
inline std::string JobFile(const std::string& folder, long long jobId, const char* suffix) {
  return folder + "/" + std::to_string(jobId) + suffix;
}

}  // namespace job_journal
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_JOB_JOURNAL_FORMAT_H_
