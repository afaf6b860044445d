// Writing, replaying and checking the crash loop's edit journal.
#include "tests/edit_journal.h"

#include <set>

namespace crashloop {

std::string FormatRecord(char kind, char op, const std::string& tree) {
  if (tree.empty() || tree.size() > kMaxTreeLength ||
      tree.find_first_of(" \n") != std::string::npos) {
    return "";
  }
  std::string record;
  record += kind;
  record += ' ';
  record += op;
  record += ' ';
  record += tree;
  record.resize(kRecordSize - 1, ' ');
  record += '\n';
  return record;
}

JournalState ReplayJournal(const std::string& text) {
  JournalState state;
  if (text.size() % kRecordSize != 0) {
    state.problems.push_back("journal of " + std::to_string(text.size()) +
                             " bytes ends inside a record");
  }
  for (size_t at = 0; at + kRecordSize <= text.size(); at += kRecordSize) {
    const std::string record = text.substr(at, kRecordSize);
    const char kind = record[0];
    const char op = record[2];
    // The tree runs to the padding, or to the line feed when it fills the record.
    const size_t end = record.find(' ', 4);
    const std::string tree =
        record.substr(4, (end == std::string::npos ? kRecordSize - 1 : end) - 4);
    if ((kind != kTry && kind != kDone && kind != kSettled) || (op != kAdd && op != kDel) ||
        record[1] != ' ' || record[3] != ' ' || record.back() != '\n' || tree.empty() ||
        FormatRecord(kind, op, tree) != record) {
      state.problems.push_back("bad journal record " + std::to_string(at / kRecordSize + 1));
      continue;
    }
    if (kind == kTry) {
      state.pending[tree] = op;
    } else {
      state.listed[tree] = op == kAdd;
      state.pending.erase(tree);
    }
  }
  return state;
}

std::vector<std::string> CompareList(const JournalState& journal,
                                     const std::list<std::string>& trees,
                                     const std::string& prefix) {
  std::vector<std::string> damage;
  std::set<std::string> listed;
  for (const std::string& tree : trees) {
    if (tree.compare(0, prefix.size(), prefix) != 0) continue;
    if (!listed.insert(tree).second) damage.push_back("tree " + tree + " listed twice");
  }
  std::set<std::string> named;
  for (const auto& entry : journal.listed) named.insert(entry.first);
  for (const auto& entry : journal.pending) named.insert(entry.first);
  for (const std::string& tree : named) {
    const auto last = journal.listed.find(tree);
    const bool want = last != journal.listed.end() && last->second;
    const bool have = listed.count(tree) != 0;
    if (have == want) continue;
    const auto pending = journal.pending.find(tree);
    if (pending != journal.pending.end() && have == (pending->second == kAdd)) continue;
    damage.push_back(want ? "tree " + tree + " was added (the edit returned) but is not listed"
                          : "tree " + tree + " is listed but " +
                                (last == journal.listed.end() ? "no returned edit added it"
                                                              : "its deletion returned"));
  }
  for (const std::string& tree : listed) {
    if (named.count(tree) == 0) damage.push_back("tree " + tree + " is listed but never edited");
  }
  return damage;
}

std::string SettledJournal(const JournalState& journal, const std::list<std::string>& trees) {
  const std::set<std::string> listed(trees.begin(), trees.end());
  std::set<std::string> named;
  for (const auto& entry : journal.listed) named.insert(entry.first);
  for (const auto& entry : journal.pending) named.insert(entry.first);
  std::string records;
  for (const std::string& tree : named) {
    records += FormatRecord(kSettled, listed.count(tree) != 0 ? kAdd : kDel, tree);
  }
  return records;
}

}  // namespace crashloop
