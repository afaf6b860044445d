// Reading and writing the records of the migrated-tree list (format in
// migrated/tree_list_format.h).
#ifndef TRHSM_MIGRATED_TREE_LIST_CODEC_H_
#define TRHSM_MIGRATED_TREE_LIST_CODEC_H_

#include <list>
#include <string>
#include <vector>

namespace trhsm {
namespace migrated {

// One field of a record: the bytes from p up to the next "|" or to limit. A "|" that ends the field
// is consumed, so p then points past it; otherwise p ends at limit. Never reads at or past limit.
std::string getToken(const char*& p, const char* limit);

enum class LineResult {
  kTree,     // a whole record; *tree holds its path
  kSkipped,  // not a record: a first field other than "1", or an empty path
  kDamaged,  // looks like a record but is cut or holds what no writer puts there; *why says what
};

// Parses one line [line, limit), without its line feed.
LineResult ParseListLine(const char* line, const char* limit, std::string* tree, std::string* why);

// The trees of a whole list file text, in file order. Lines that are not records are skipped
// silently; damaged lines (a record without its closing "|" or with bytes after it other than one
// carriage return, a NUL in the path, or a line longer than a reader's line buffer) are dropped,
// each with one text in *problems naming its line number and the reason.
std::list<std::string> ParseTreeList(const std::string& text, std::vector<std::string>* problems);

// True when `tree` can be written as a record and read back unchanged: not empty, at most
// tree_list::kMaxTreeLength bytes, and neither "|" nor a line feed inside. Otherwise *why says why.
bool IsRecordable(const std::string& tree, std::string* why);

// The file text for `trees`, one record per tree in order. REQUIRES: every tree IsRecordable.
std::string FormatTreeList(const std::list<std::string>& trees);

}  // namespace migrated
}  // namespace trhsm

#endif  // TRHSM_MIGRATED_TREE_LIST_CODEC_H_
