// List records: the line rules, damaged and cut input, boundaries of the line buffer, round trips.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_format.h"

namespace {

using trhsm::migrated::FormatTreeList;
using trhsm::migrated::getToken;
using trhsm::migrated::IsRecordable;
using trhsm::migrated::ParseTreeList;
using Trees = std::list<std::string>;

Trees Parse(const std::string& text, std::vector<std::string>* problems = nullptr) {
  std::vector<std::string> local;
  return ParseTreeList(text, problems != nullptr ? problems : &local);
}

TEST(TreeListToken, StopsAtSeparatorOrLimitAndConsumesSeparator) {
  const std::string text = "ab|cd";
  const char* p = text.data();
  EXPECT_EQ("ab", getToken(p, text.data() + text.size()));
  EXPECT_EQ(text.data() + 3, p);
  EXPECT_EQ("cd", getToken(p, text.data() + text.size()));
  EXPECT_EQ(text.data() + text.size(), p);
  // The limit is honoured even when the bytes go on: "|" beyond it is not seen.
  const char bytes[] = {'x', 'y', '|'};
  const char* q = bytes;
  EXPECT_EQ("xy", getToken(q, bytes + 2));
  EXPECT_EQ(bytes + 2, q);
}

TEST(TreeListParse, RecordsAndNonRecords) {
  std::vector<std::string> problems;
  Trees trees = Parse("1|/a/b|\n2|/a|\n1||\nx\n\n1\n|/c|\n1|/d|junk|more\n1|/e|\r\n", &problems);
  EXPECT_EQ((Trees{"/a/b", "/e"}), trees);
  // Lines that are simply not records go without a word; a record followed by more than a
  // carriage return is not what a writer wrote, and may hold a path cut at a damaged byte.
  EXPECT_EQ((std::vector<std::string>{"line 8 dropped: bytes after the closing '|'"}), problems);
  EXPECT_TRUE(Parse("").empty());
}

TEST(TreeListParse, RecordWithoutClosingSeparatorIsDropped) {
  std::vector<std::string> problems;
  // A list cut short by a crash: "/a/bcd" arrived as "/a/b".
  Trees trees = Parse("1|/x|\n1|/a/b\n1|/y|\n1|/a/b", &problems);
  EXPECT_EQ((Trees{"/x", "/y"}), trees);
  ASSERT_EQ(2u, problems.size());
  EXPECT_EQ("line 2 dropped: record has no closing '|'", problems[0]);
  EXPECT_EQ("line 4 dropped: record has no closing '|'", problems[1]);
}

TEST(TreeListParse, NulInPathIsDropped) {
  std::vector<std::string> problems;
  Trees trees = Parse(std::string("1|/a\0b|\n1|/c|\n", 14), &problems);
  EXPECT_EQ((Trees{"/c"}), trees);
  ASSERT_EQ(1u, problems.size());
  EXPECT_EQ("line 1 dropped: tree path holds a NUL byte", problems[0]);
}

TEST(TreeListParse, EveryPrefixOfAListYieldsOnlyWholeTrees) {
  const Trees original{"/first/tree", "/second", "/third/one/"};
  const std::string text = FormatTreeList(original);
  for (size_t n = 0; n <= text.size(); ++n) {
    Trees got = Parse(text.substr(0, n));
    auto expected = original.begin();
    for (const std::string& tree : got) {
      ASSERT_NE(original.end(), expected) << "prefix " << n;
      EXPECT_EQ(*expected++, tree) << "prefix " << n;
    }
  }
}

TEST(TreeListParse, LineBufferBoundary) {
  namespace tl = trhsm::tree_list;
  const std::string longest = "/" + std::string(tl::kMaxTreeLength - 1, 'p');
  EXPECT_EQ((Trees{longest}), Parse(FormatTreeList({longest})));
  EXPECT_EQ(tl::kMaxRecordLength, FormatTreeList({longest}).size());

  // One byte more: a reader in 4096-byte pieces would see "1|/ppp..." without its end, a cut path.
  const std::string tooLong = longest + "q";
  std::vector<std::string> problems;
  Trees trees = Parse("1|/a|\n1|" + tooLong + "|\n1|/b|\n", &problems);
  EXPECT_EQ((Trees{"/a", "/b"}), trees);
  ASSERT_EQ(1u, problems.size());
  EXPECT_EQ("line 2 dropped: line of 4096 bytes is longer than a record can be", problems[0]);

  // The pieces of an overlong line never surface as records of their own.
  const std::string hidden = "1|" + std::string(4093, 'z') + "1|/hidden|\n";
  EXPECT_TRUE(Parse(hidden).empty());
}

TEST(TreeListFormat, ExactBytesAndRoundTrip) {
  EXPECT_EQ("1|/a/b|\n1|/|\n", FormatTreeList({"/a/b", "/"}));
  EXPECT_EQ("", FormatTreeList({}));
  const Trees odd{"/with space", "/tab\there", "/utf8/\xc3\xa9t\xc3\xa9",
                  "/trailing/",  "rel/ative",  "//double"};
  EXPECT_EQ(odd, Parse(FormatTreeList(odd)));
}

TEST(TreeListFormat, RecordableOnlyWhatReadsBackUnchanged) {
  std::string why;
  EXPECT_TRUE(IsRecordable("/a", &why));
  EXPECT_TRUE(IsRecordable(std::string(trhsm::tree_list::kMaxTreeLength, 'a'), &why));
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", "an empty path cannot be recorded"},
      {"/a|b", "a path holding '|' cannot be recorded"},
      {"/a\nb", "a path holding a line feed cannot be recorded"},
      {std::string("/a\0b", 4), "a path holding a NUL byte cannot be recorded"},
      {std::string(trhsm::tree_list::kMaxTreeLength + 1, 'a'),
       "a path longer than 4091 bytes cannot be recorded"},
  };
  for (const auto& [path, reason] : refused) {
    why.clear();
    EXPECT_FALSE(IsRecordable(path, &why));
    EXPECT_EQ(reason, why);
    // Had it been written, it would not have come back as itself.
    if (path.size() <= trhsm::tree_list::kMaxTreeLength) {
      EXPECT_NE((Trees{path}), Parse(FormatTreeList({path})));
    }
  }
}

}  // namespace
