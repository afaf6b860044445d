// Text helpers of the database reader: the two reparse texts it builds per item, with their
// decimal formatting, and atoll-style number reading on string views (columns are not
// NUL-terminated).
#ifndef TRHSM_COLLECT_REPARSE_TEXT_H_
#define TRHSM_COLLECT_REPARSE_TEXT_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace trhsm {
namespace collect {

// atoll on a view: leading white space and one sign accepted, digits up to the first other byte,
// 0 without digits. An out-of-range value wraps instead of being undefined.
inline int64_t ViewToInt64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return static_cast<int64_t>(negative ? 0 - value : value);
}

// my_atoull: digits from the very start (no sign, no blanks), modulo 2^64; 0 without digits.
inline uint64_t ViewToUint64(std::string_view text) {
  uint64_t value = 0;
  for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

// Writes a text of known greatest size straight into a string: one resize instead of an append
// (and its capacity check) per piece. The string is cut to what was written on destruction.
class TextBuilder {
 public:
  TextBuilder(std::string& out, size_t maxSize) : out_(out) {
    out_.resize(maxSize);
    begin_ = &out_[0];
    p_ = begin_;
  }
  ~TextBuilder() { out_.resize(static_cast<size_t>(p_ - begin_)); }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  // Room that Add needs beyond the texts' own bytes: each number at most 20 digits and a sign.
  static constexpr size_t kNumberRoom = 21;

  void Add(char c) { *p_++ = c; }
  void Add(std::string_view text) {
    if (text.empty()) return;  // an empty view may hold a null pointer
    std::memcpy(p_, text.data(), text.size());
    p_ += text.size();
  }
  void AddUnsigned(uint64_t value) {
    char digits[20];
    size_t first = sizeof digits;
    do {
      digits[--first] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    Add(std::string_view(digits + first, sizeof digits - first));
  }
  void AddSigned(int64_t value) {
    if (value < 0) {
      Add('-');
      // Negate in unsigned arithmetic: -INT64_MIN does not fit.
      AddUnsigned(0 - static_cast<uint64_t>(value));
    } else {
      AddUnsigned(static_cast<uint64_t>(value));
    }
  }

 private:
  std::string& out_;
  char* begin_;
  char* p_;
};

// The normal-mode reparse text (layout 1):
// "1:" aux ":" group ":" file ":" offset ":1:" length(name) ":" name "|" now.
inline void BuildNormalReparse(std::string& out, int32_t auxNumber, std::string_view groupId,
                               std::string_view fileId, std::string_view fileOffset,
                               std::string_view name, uint64_t now) {
  TextBuilder b(out, 16 + 3 * TextBuilder::kNumberRoom + groupId.size() + fileId.size() +
                         fileOffset.size() + name.size());
  b.Add("1:");
  b.AddSigned(auxNumber);
  b.Add(':');
  b.Add(groupId);
  b.Add(':');
  b.Add(fileId);
  b.Add(':');
  b.Add(fileOffset);
  b.Add(":1:");
  b.AddUnsigned(name.size());
  b.Add(':');
  b.Add(name);
  b.Add('|');
  b.AddUnsigned(now);
}

// The turbo-mode reparse text (layout 2): "1:" aux ":" group ":" file ":" offset ":2:"
// length(meta) ":" meta ":" appIdSecond ":" appTypeGUID ":" size "|" now.
inline void BuildTurboReparse(std::string& out, int32_t auxNumber, std::string_view groupId,
                              std::string_view fileId, std::string_view fileOffset,
                              std::string_view metaData, int32_t appIdSecond,
                              std::string_view appTypeGUID, std::string_view fileSize,
                              uint64_t now) {
  TextBuilder b(out, 24 + 4 * TextBuilder::kNumberRoom + groupId.size() + fileId.size() +
                         fileOffset.size() + metaData.size() + appTypeGUID.size() +
                         fileSize.size());
  b.Add("1:");
  b.AddSigned(auxNumber);
  b.Add(':');
  b.Add(groupId);
  b.Add(':');
  b.Add(fileId);
  b.Add(':');
  b.Add(fileOffset);
  b.Add(":2:");
  b.AddUnsigned(metaData.size());
  b.Add(':');
  b.Add(metaData);
  b.Add(':');
  b.AddSigned(appIdSecond);
  b.Add(':');
  b.Add(appTypeGUID);
  b.Add(':');
  b.Add(fileSize);
  b.Add('|');
  b.AddUnsigned(now);
}

}  // namespace collect
}  // namespace trhsm

#endif  // TRHSM_COLLECT_REPARSE_TEXT_H_
