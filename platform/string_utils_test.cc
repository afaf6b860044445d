// Tests of the string helpers: FXString splitting and formatting, CZeString, CZeError.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trhsm/CZeError.h"
#include "trhsm/CZeString.h"
#include "trhsm/FXString.h"

namespace {

using Tokens = std::vector<std::string>;

Tokens Split(const std::string& text, const std::string& separator) {
  Tokens tokens = {"earlier", "content"};
  int count = FXString::Split(text, separator, tokens, 0);
  EXPECT_EQ(count, static_cast<int>(tokens.size()));
  return tokens;
}

TEST(FXStringTest, SplitKeepsEmptyPiecesInOrder) {
  EXPECT_EQ(Split("a::b", ":"), (Tokens{"a", "", "b"}));
  EXPECT_EQ(Split("", ":"), (Tokens{""}));
  EXPECT_EQ(Split(":a:", ":"), (Tokens{"", "a", ""}));
  EXPECT_EQ(Split("1|2|3", ":"), (Tokens{"1|2|3"}));
  EXPECT_EQ(Split("1|2|3", "|"), (Tokens{"1", "2", "3"}));
  EXPECT_EQ(Split("a||b|c|||", "||"), (Tokens{"a", "b|c", "|"}));
  EXPECT_EQ(Split("abc", ""), (Tokens{"abc"}));
}

TEST(FXStringTest, FormatHasNoLengthLimit) {
  EXPECT_EQ(FXString::Format("%s%s : %s", "Thread [3] ", "FILE_STAT", "x"),
            "Thread [3] FILE_STAT : x");
  std::string big(100000, 'q');
  std::string formatted = FXString::Format("<%s|%d>", big.c_str(), -7);
  EXPECT_EQ(formatted, "<" + big + "|-7>");
  EXPECT_EQ(FXString::Format("%s", ""), "");
}

TEST(CZeStringTest, AppendAndNullSafeComparison) {
  CZeString text(static_cast<const char*>(nullptr));
  EXPECT_TRUE(text == static_cast<const char*>(nullptr));
  EXPECT_TRUE(text == "");
  text.Append("ab").Append(static_cast<const char*>(nullptr)).Append(std::string("c"));
  EXPECT_TRUE(text == "abc");
  EXPECT_TRUE(text != "ab");
  EXPECT_TRUE(text != static_cast<const char*>(nullptr));
  EXPECT_STREQ(static_cast<const char*>(text), "abc");
  EXPECT_EQ(text.length(), 3u);
}

TEST(CZeErrorTest, AsString) {
  EXPECT_EQ(CZeError().AsString(), "success");
  EXPECT_FALSE(CZeError().IsError());
  CZeError failed(-2, "cannot read /proc/mounts");
  EXPECT_TRUE(failed.IsError());
  EXPECT_EQ(failed.AsString(), "cannot read /proc/mounts");
  EXPECT_EQ(CZeError(-5, "").AsString(), "error -5");
}

}  // namespace
