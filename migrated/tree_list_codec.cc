// Parser and serializer of the migrated-tree list records.
#include "migrated/tree_list_codec.h"

#include <cstring>

#include "migrated/tree_list_format.h"

namespace tl = trhsm::tree_list;

namespace trhsm {
namespace migrated {

std::string getToken(const char*& p, const char* limit) {
  const char* start = p;
  while (p < limit && *p != tl::kSeparator) ++p;
  std::string token(start, static_cast<size_t>(p - start));
  if (p < limit) ++p;  // the separator that ended the field
  return token;
}

LineResult ParseListLine(const char* line, const char* limit, std::string* tree, std::string* why) {
  const char* p = line;
  std::string tag = getToken(p, limit);
  if (tag.size() != 1 || tag[0] != tl::kRecordTag) return LineResult::kSkipped;
  const char* pathStart = p;
  std::string path = getToken(p, limit);
  if (path.empty()) return LineResult::kSkipped;
  // Without its closing separator the path may have been cut anywhere (a torn write, a shortened
  // file); a cut path names a parent of the real tree and would claim directories never migrated.
  if (pathStart + path.size() >= limit) {
    *why = "record has no closing '|'";
    return LineResult::kDamaged;
  }
  // A writer puts nothing after the closing separator but the line feed. Anything else means the
  // line is not what was written: a path byte damaged into "|" would end the path early and name a
  // parent of the real tree, a lost line feed would hide the record behind it. A carriage return
  // left by a text editor is harmless.
  const size_t trailing = static_cast<size_t>(limit - p);
  if (trailing > 1 || (trailing == 1 && *p != '\r')) {
    *why = "bytes after the closing '|'";
    return LineResult::kDamaged;
  }
  if (path.find('\0') != std::string::npos) {
    *why = "tree path holds a NUL byte";
    return LineResult::kDamaged;
  }
  *tree = std::move(path);
  return LineResult::kTree;
}

std::list<std::string> ParseTreeList(const std::string& text, std::vector<std::string>* problems) {
  std::list<std::string> trees;
  const char* p = text.data();
  const char* end = p + text.size();
  int lineNumber = 0;
  while (p < end) {
    ++lineNumber;
    const char* lineEnd =
        static_cast<const char*>(std::memchr(p, tl::kLineEnd, static_cast<size_t>(end - p)));
    const char* limit = lineEnd != nullptr ? lineEnd : end;
    const size_t length = static_cast<size_t>(limit - p) + (lineEnd != nullptr ? 1 : 0);
    std::string tree;
    std::string why;
    if (length > tl::kMaxRecordLength) {
      // No writer makes such a line; reading it in pieces would turn a cut path into a tree.
      why = "line of " + std::to_string(length) + " bytes is longer than a record can be";
    } else if (ParseListLine(p, limit, &tree, &why) == LineResult::kTree) {
      trees.push_back(std::move(tree));
    }
    if (!why.empty() && problems != nullptr) {
      problems->push_back("line " + std::to_string(lineNumber) + " dropped: " + why);
    }
    p = lineEnd != nullptr ? lineEnd + 1 : end;
  }
  return trees;
}

bool IsRecordable(const std::string& tree, std::string* why) {
  if (tree.empty()) {
    *why = "an empty path cannot be recorded";
  } else if (tree.size() > tl::kMaxTreeLength) {
    *why = "a path longer than " + std::to_string(tl::kMaxTreeLength) + " bytes cannot be recorded";
  } else if (tree.find(tl::kSeparator) != std::string::npos) {
    *why = "a path holding '|' cannot be recorded";
  } else if (tree.find(tl::kLineEnd) != std::string::npos) {
    *why = "a path holding a line feed cannot be recorded";
  } else if (tree.find('\0') != std::string::npos) {
    *why = "a path holding a NUL byte cannot be recorded";
  } else {
    return true;
  }
  return false;
}

std::string FormatTreeList(const std::list<std::string>& trees) {
  std::string text;
  for (const std::string& tree : trees) {
    text += tl::kRecordTag;
    text += tl::kSeparator;
    text += tree;
    text += tl::kSeparator;
    text += tl::kLineEnd;
  }
  return text;
}

}  // namespace migrated
}  // namespace trhsm
