// The edit journal of the crash loop: what the tree editors tried and what returned, and the check
// of a migrated-tree list against it.
//
// Each record is exactly kRecordSize bytes, "<kind> <op> <tree>", blank-padded, ending in "\n":
//   kind  'T' the edit is about to start, 'D' the edit returned, 'S' the checker saw the outcome of
//         an edit whose process died between T and D
//   op    'a' addTree, 'd' delTree (for 'S': 'a' the tree was listed, 'd' it was not)
// Records go out in one write(2) each on an O_APPEND descriptor. Their size divides the page size,
// so no record straddles a page and a killed writer never leaves half of one.
#ifndef TRHSM_TESTS_EDIT_JOURNAL_H_
#define TRHSM_TESTS_EDIT_JOURNAL_H_

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace crashloop {

constexpr size_t kRecordSize = 64;
constexpr size_t kMaxTreeLength = kRecordSize - 5;  // kind, blank, op, blank, line feed

constexpr char kTry = 'T';
constexpr char kDone = 'D';
constexpr char kSettled = 'S';
constexpr char kAdd = 'a';
constexpr char kDel = 'd';

// The record for one entry; "" when the tree does not fit or holds a blank or a line feed.
std::string FormatRecord(char kind, char op, const std::string& tree);

// What a journal says about each tree it names.
struct JournalState {
  std::map<std::string, bool> listed;   // the outcome of the last edit that returned (or settled)
  std::map<std::string, char> pending;  // an edit tried after that, whose return was not recorded
  std::vector<std::string> problems;    // records that no writer of the journal produces
};

JournalState ReplayJournal(const std::string& text);

// The damage seen when `trees` (the parsed list) is compared with `journal`: every tree under
// `prefix` must be listed exactly when the last returned edit says so; a tree with a pending edit
// may also show that edit's outcome. Trees outside `prefix` are not judged here.
std::vector<std::string> CompareList(const JournalState& journal,
                                     const std::list<std::string>& trees,
                                     const std::string& prefix);

// A journal equivalent to `journal` once `trees` was checked against it: one 'S' record per tree it
// names, listed or not as `trees` shows it, so interrupted edits are fixed to what they did.
std::string SettledJournal(const JournalState& journal, const std::list<std::string>& trees);

}  // namespace crashloop

#endif  // TRHSM_TESTS_EDIT_JOURNAL_H_
