// The line readers at and around each buffer limit, and the numbers of timed lines. What any input
// gives (never a cut line, the stream left after the line) is the fuzz target's (collect_lines).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

// A file holding `content`, open for reading.
class Input {
 public:
  explicit Input(const std::string& content) : path_(dir_.File("input")) {
    WriteFile(path_, content);
    fp_ = std::fopen(path_.c_str(), "r");
  }
  ~Input() {
    if (fp_ != nullptr) std::fclose(fp_);
  }
  FILE* get() const { return fp_; }
  const std::string& path() const { return path_; }

 private:
  ScratchDir dir_;
  std::string path_;
  FILE* fp_ = nullptr;
};

// Bytes that differ from their neighbours, so a shifted or cut copy shows.
std::string Pattern(size_t length) {
  std::string s(length, ' ');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// GetLine into a buffer of `size` bytes followed by guard bytes that must stay untouched.
struct Got {
  int result;
  std::string text;
  bool guardIntact;
};

Got ReadInto(FILE* fp, size_t size) {
  std::vector<char> buffer(size + 16, 'G');
  Got g;
  g.result = GetLine(fp, buffer.data(), size);
  g.text = std::string(buffer.data());  // NUL-terminated within the first `size` bytes
  g.guardIntact =
      std::string(buffer.begin() + static_cast<long>(size), buffer.end()) == std::string(16, 'G');
  EXPECT_LT(g.text.size(), size);
  return g;
}

TEST(GetLine, LinesAtAndAroundTheBufferLimit) {
  for (size_t size : {1, 2, 3, 1024, 2048}) {
    for (size_t length : {size - 2, size - 1, size, size + 1, 3 * size + 5}) {
      if (length > 10000) continue;  // size - 2 wrapped
      SCOPED_TRACE("size " + std::to_string(size) + ", line " + std::to_string(length));
      const std::string line = Pattern(length);
      Input in(line + "\n\n");
      Got g = ReadInto(in.get(), size);
      if (length <= size - 1) {
        EXPECT_EQ(g.result, 1);
        EXPECT_EQ(g.text, line);
      } else {
        EXPECT_EQ(g.result, -1);
        EXPECT_EQ(g.text, line.substr(0, size - 1));
      }
      EXPECT_TRUE(g.guardIntact);
      // The long line was consumed whole: next comes the empty line, then the end.
      Got next = ReadInto(in.get(), size);
      EXPECT_EQ(next.result, 1);
      EXPECT_EQ(next.text, "");
      EXPECT_EQ(ReadInto(in.get(), size).result, 0);

      Input last(line);  // without its newline, never a line
      Got g2 = ReadInto(last.get(), size);
      EXPECT_EQ(g2.result, 0);
      EXPECT_EQ(g2.text, line.substr(0, size - 1));
    }
  }
}

TEST(GetLine, NullArgumentsAndReadErrorsGiveEnd) {
  Input in("line\n");
  char buffer[16] = "untouched";
  EXPECT_EQ(GetLine(nullptr, buffer), 0);
  EXPECT_EQ(GetLine(in.get(), nullptr, 16), 0);
  EXPECT_EQ(GetLine(in.get(), buffer, 0), 0);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(GetLine(in.get(), buffer), 1);  // nothing was read above

  // Reading a directory fails with EISDIR.
  ScratchDir dir;
  FILE* fp = std::fopen(dir.path().c_str(), "r");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(GetLine(fp, buffer), 0);
  HSMCollectFile item;
  EXPECT_EQ(GetLineFromCollectFile(fp, '|', item), 0);
  std::fclose(fp);
}

struct Item {
  int result;
  std::string name;
  long time;
};

Item ReadItem(FILE* fp, char separator = '|') {
  HSMCollectFile item;
  item.fileName = "stale";
  item.itemTime = -99;
  Item i;
  i.result = GetLineFromCollectFile(fp, separator, item);
  i.name = item.fileName;
  i.time = item.itemTime;
  return i;
}

void ExpectItem(const Item& i, const std::string& name, long time) {
  EXPECT_EQ(i.result, 1);
  EXPECT_EQ(i.name, name);
  EXPECT_EQ(i.time, time);
}

void ExpectNone(const Item& i) {
  EXPECT_EQ(i.result, 0);
  EXPECT_EQ(i.name, "");  // cleared even without an item
}

TEST(GetLineFromCollectFile, NamesAndTimes) {
  Input in(
      "|/data/a.txt|42|\n"
      "|x|y|7|\n"  // a separator in the name stays in it
      "ab|x|7|\n"  // text before the first separator is dropped
      "|neg|-5|\n"
      "|nodigits|zz|\n"
      "| blank| 12x|\n"
      "|plus|+3|\n"
      "|max|9223372036854775807|\n"
      "|min|-9223372036854775808|\n"
      "|big|9223372036854775808|\n"  // out of range: clamped
      "|small|-99999999999999999999|\n"
      "|tail|3|junk\n");  // what follows the last separator is dropped
  ExpectItem(ReadItem(in.get()), "/data/a.txt", 42);
  ExpectItem(ReadItem(in.get()), "x|y", 7);
  ExpectItem(ReadItem(in.get()), "x", 7);
  ExpectItem(ReadItem(in.get()), "neg", -5);
  ExpectItem(ReadItem(in.get()), "nodigits", 0);
  ExpectItem(ReadItem(in.get()), " blank", 12);
  ExpectItem(ReadItem(in.get()), "plus", 3);
  ExpectItem(ReadItem(in.get()), "max", LONG_MAX);
  ExpectItem(ReadItem(in.get()), "min", LONG_MIN);
  ExpectItem(ReadItem(in.get()), "big", LONG_MAX);
  ExpectItem(ReadItem(in.get()), "small", LONG_MIN);
  ExpectItem(ReadItem(in.get()), "tail", 3);
  ExpectNone(ReadItem(in.get()));
}

TEST(GetLineFromCollectFile, LineLengthsAroundTheLimit) {
  // After the leading separator: name, separator, "7", separator, newline.
  for (size_t nameLength : {2042, 2043, 2044, 2045, 9000}) {
    SCOPED_TRACE(nameLength);
    const std::string name = Pattern(nameLength);
    Input in("|" + name + "|7|\n|next|8|\n");
    if (nameLength + 4 <= 2047) {
      ExpectItem(ReadItem(in.get()), name, 7);
    } else {
      ExpectNone(ReadItem(in.get()));
    }
    ExpectItem(ReadItem(in.get()), "next", 8);
  }
}

}  // namespace
