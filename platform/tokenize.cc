// CZeString::Tokenize: quote- and escape-aware splitting of one line into fields.
#include <cstring>
#include <functional>

#include "trhsm/CZeString.h"

namespace {

struct Syntax {
  char open;
  char close;
  char escape;
  char separator;
};

// Reads the field that starts at `pos` (a field start: 0 or just after a separator) and returns
// the position of the separator that ends it, or line.size(). A field that needs no unescaping is
// returned as a view of `line` in *view with *copied false; otherwise its bytes are appended to
// *dest and *copied is true. At most as many bytes are appended as the field spans in `line`.
size_t ScanField(std::string_view line, size_t pos, const Syntax& s, std::string_view* view,
                 std::string* dest, bool* copied) {
  const size_t n = line.size();
  *copied = false;
  // Fast paths: a plain field, or a quoted one without escapes that ends at its closing quote.
  if (pos == n || line[pos] != s.open) {
    size_t j = pos;
    while (j < n && line[j] != s.separator && line[j] != s.escape) ++j;
    if (j == n || line[j] == s.separator) {
      *view = line.substr(pos, j - pos);
      return j;
    }
  } else {
    size_t j = pos + 1;
    while (j < n && line[j] != s.close && line[j] != s.escape) ++j;
    if (j == n) {
      *view = line.substr(pos);  // unterminated quote: kept as written
      return n;
    }
    if (line[j] == s.close && (j + 1 == n || line[j + 1] == s.separator)) {
      *view = line.substr(pos + 1, j - pos - 1);
      return j + 1;
    }
  }

  const size_t destStart = dest->size();
  size_t i = pos;
  bool inQuotes = false;
  if (i < n && line[i] == s.open) {
    inQuotes = true;
    ++i;
  }
  while (i < n) {
    const char c = line[i];
    if (c == s.escape) {
      // A trailing escape has nothing to protect and stays an ordinary byte.
      dest->push_back(i + 1 < n ? line[i + 1] : c);
      i += i + 1 < n ? 2 : 1;
      continue;
    }
    if (inQuotes) {
      if (c == s.close) {
        inQuotes = false;
        ++i;
        continue;
      }
    } else if (c == s.separator) {
      break;
    }
    dest->push_back(c);
    ++i;
  }
  if (inQuotes) {
    // The closing quote never came: the line is probably cut, so hand the field back unaltered.
    dest->resize(destStart);
    *view = line.substr(pos);
    return n;
  }
  *copied = true;
  return i;
}

}  // namespace

int CZeString::Tokenize(std::vector<CZeString>& tokens, char openQuote, char closeQuote,
                        char escape, char separator, bool /*flag*/) const {
  // Tokenizing a string into the vector that holds it would overwrite the text while reading it.
  if (!tokens.empty() && !std::less<const CZeString*>()(this, tokens.data()) &&
      std::less<const CZeString*>()(this, tokens.data() + tokens.size())) {
    CZeString copy(value_);
    return copy.Tokenize(tokens, openQuote, closeQuote, escape, separator, false);
  }
  const Syntax syntax{openQuote, closeQuote, escape, separator};
  const std::string_view line(value_);
  size_t count = 0;
  if (!line.empty()) {
    size_t pos = 0;
    for (;;) {
      if (count == tokens.size()) tokens.emplace_back();
      std::string& slot = tokens[count].value_;
      slot.clear();
      std::string_view view;
      bool copied = false;
      pos = ScanField(line, pos, syntax, &view, &slot, &copied);
      if (!copied) slot.assign(view.data(), view.size());
      ++count;
      if (pos == line.size()) break;
      ++pos;  // past the separator
    }
  }
  tokens.resize(count);
  return static_cast<int>(count);
}

int CZeString::TokenizeViews(std::string_view line, char openQuote, char closeQuote, char escape,
                             char separator, std::vector<std::string_view>& out,
                             std::string& scratch) {
  const Syntax syntax{openQuote, closeQuote, escape, separator};
  out.clear();
  scratch.clear();
  // Unescaped fields never outgrow the line, so with this capacity the scratch buffer is never
  // reallocated during the call and views into it stay valid.
  scratch.reserve(line.size());
  if (line.empty()) return 0;
  // Most lines hold no quote and no escape: then every field is a plain view, and the line is cut
  // with memchr, which scans many bytes per step.
  const char* begin = line.data();
  const size_t n = line.size();
  if (std::memchr(begin, escape, n) == nullptr && std::memchr(begin, openQuote, n) == nullptr) {
    const char* p = begin;
    const char* end = begin + n;
    for (;;) {
      const auto* sep = static_cast<const char*>(std::memchr(p, separator, end - p));
      if (sep == nullptr) {
        out.emplace_back(p, end - p);
        break;
      }
      out.emplace_back(p, sep - p);
      p = sep + 1;
    }
    return static_cast<int>(out.size());
  }
  size_t pos = 0;
  for (;;) {
    std::string_view view;
    bool copied = false;
    const size_t start = scratch.size();
    pos = ScanField(line, pos, syntax, &view, &scratch, &copied);
    if (copied) view = std::string_view(scratch.data() + start, scratch.size() - start);
    out.push_back(view);
    if (pos == line.size()) break;
    ++pos;
  }
  return static_cast<int>(out.size());
}
