// CZeString::Tokenize and TokenizeViews on the collect-file syntax: '"' quotes, '\\' escapes, ','.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "trhsm/CZeString.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
  std::vector<CZeString> tokens;
  int n = CZeString(line).Tokenize(tokens, '"', '"', '\\', ',', false);
  EXPECT_EQ(n, static_cast<int>(tokens.size()));
  std::vector<std::string> out;
  for (const CZeString& t : tokens) out.push_back(t.str());

  // The view form must agree with the copying form on every input.
  std::vector<std::string_view> views;
  std::string scratch;
  EXPECT_EQ(CZeString::TokenizeViews(line, '"', '"', '\\', ',', views, scratch), n) << line;
  EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), out) << line;
  return out;
}

using V = std::vector<std::string>;

TEST(Tokenize, PlainAndEmptyFields) {
  EXPECT_EQ(Split("7,8,9,100,/x/f,5,4711"), (V{"7", "8", "9", "100", "/x/f", "5", "4711"}));
  EXPECT_EQ(Split("a,,b"), (V{"a", "", "b"}));
  EXPECT_EQ(Split("a,"), (V{"a", ""}));
  EXPECT_EQ(Split(","), (V{"", ""}));
  EXPECT_EQ(Split(",,,"), (V{"", "", "", ""}));
  EXPECT_EQ(Split("only"), (V{"only"}));
  EXPECT_EQ(Split(""), V{});
  EXPECT_EQ(Split("\"\",x"), (V{"", "x"}));
}

TEST(Tokenize, QuotedFieldsKeepSeparatorsAndLoseTheirQuotes) {
  EXPECT_EQ(Split("1,\"/a,b/c\",2"), (V{"1", "/a,b/c", "2"}));
  EXPECT_EQ(Split("\"a,\",\",b\""), (V{"a,", ",b"}));
  EXPECT_EQ(Split("\"say \\\"hi\\\"\",z"), (V{"say \"hi\"", "z"}));
  EXPECT_EQ(Split("\"back\\\\slash\""), (V{"back\\slash"}));
  // Text after the closing quote belongs to the same field.
  EXPECT_EQ(Split("\"ab\"cd,e"), (V{"abcd", "e"}));
}

TEST(Tokenize, QuoteInsideAFieldIsAnOrdinaryByte) {
  EXPECT_EQ(Split("ab\"c,d\""), (V{"ab\"c", "d\""}));
}

TEST(Tokenize, EscapeOutsideQuotes) {
  EXPECT_EQ(Split("a\\,b,c"), (V{"a,b", "c"}));
  EXPECT_EQ(Split("\\\"x"), (V{"\"x"}));
  // A trailing escape has nothing to protect and is kept.
  EXPECT_EQ(Split("a,b\\"), (V{"a", "b\\"}));
}

TEST(Tokenize, UnterminatedQuoteRunsToTheEndAsWritten) {
  EXPECT_EQ(Split("1,\"abc,def"), (V{"1", "\"abc,def"}));
  EXPECT_EQ(Split("1,\"a\\\"b,c"), (V{"1", "\"a\\\"b,c"}));
  EXPECT_EQ(Split("\""), (V{"\""}));
  // An escaped closing quote does not close.
  EXPECT_EQ(Split("\"x\\\""), (V{"\"x\\\""}));
}

TEST(Tokenize, ReusedVectorIsReplacedNotAppended) {
  std::vector<CZeString> tokens;
  CZeString("a,b,c,d").Tokenize(tokens, '"', '"', '\\', ',', false);
  ASSERT_EQ(tokens.size(), 4u);
  EXPECT_EQ(CZeString("x,\"y\\\"\"").Tokenize(tokens, '"', '"', '\\', ',', false), 2);
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_TRUE(tokens[0] == "x");
  EXPECT_TRUE(tokens[1] == "y\"");
  EXPECT_EQ(CZeString("").Tokenize(tokens, '"', '"', '\\', ',', false), 0);
  EXPECT_TRUE(tokens.empty());
}

TEST(Tokenize, StringInsideTheTargetVector) {
  std::vector<CZeString> tokens{CZeString("p,q,r")};
  EXPECT_EQ(tokens[0].Tokenize(tokens, '"', '"', '\\', ',', false), 3);
  EXPECT_TRUE(tokens[2] == "r");
}

TEST(Tokenize, ViewsPointIntoLineOrScratch) {
  const std::string line = "plain,\"quoted\",\"esc\\\\aped\"";
  std::vector<std::string_view> views;
  std::string scratch;
  ASSERT_EQ(CZeString::TokenizeViews(line, '"', '"', '\\', ',', views, scratch), 3);
  EXPECT_EQ(views[0].data(), line.data());
  EXPECT_EQ(views[1].data(), line.data() + 7);
  EXPECT_EQ(views[2], "esc\\aped");
  EXPECT_EQ(views[2].data(), scratch.data());
}

TEST(Tokenize, ManyEscapedFieldsKeepEarlierViewsValid) {
  // Every field needs the scratch buffer; a reallocation during the call would leave views
  // dangling, which ASan would catch and the comparison would show.
  std::string line;
  V expected;
  for (int i = 0; i < 200; ++i) {
    std::string field =
        "n\\" + std::to_string(i) + ",\"" + std::string(static_cast<size_t>(i), 'q');
    expected.push_back(field);
    if (i) line += ',';
    trhsm::platform::AppendLineField(&line, field, ',');
  }
  EXPECT_EQ(Split(line), expected);
}

TEST(LineField, QuotesOnlyWhatNeedsIt) {
  auto field = [](const std::string& f) {
    std::string out;
    trhsm::platform::AppendLineField(&out, f, ',');
    return out;
  };
  EXPECT_EQ(field("/a/b c"), "/a/b c");
  EXPECT_EQ(field(""), "");
  EXPECT_EQ(field("a,b"), "\"a,b\"");
  EXPECT_EQ(field("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(field("a\\b"), "\"a\\\\b\"");
}

TEST(LineField, RoundTripsHostileFields) {
  const V hostile = {"",   ",",   "\"", "\\",     "\\\"",     "\"a,b\"",
                     ",,", "a\\", "\"", "x\ry\t", "\xff\xfe", "trailing,\\"};
  std::string line;
  for (size_t i = 0; i < hostile.size(); ++i) {
    if (i) line += ',';
    trhsm::platform::AppendLineField(&line, hostile[i], ',');
  }
  EXPECT_EQ(Split(line), hostile);
}

}  // namespace
