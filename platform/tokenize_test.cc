// CZeString::Tokenize and TokenizeViews on the collect-file syntax ('"' quotes, '\\' escapes, ','),
// and AppendLineField, which writes what they read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "trhsm/CZeString.h"

namespace {

using V = std::vector<std::string>;

// Both forms, which must agree on every input; a reused vector is replaced, not appended to.
V Split(const std::string& line) {
  std::vector<CZeString> tokens{CZeString("stale"), CZeString("stale")};
  const int n = CZeString(line).Tokenize(tokens, '"', '"', '\\', ',', false);
  EXPECT_EQ(n, static_cast<int>(tokens.size()));
  V out;
  for (const CZeString& t : tokens) out.push_back(t.str());
  std::vector<std::string_view> views;
  std::string scratch;
  EXPECT_EQ(CZeString::TokenizeViews(line, '"', '"', '\\', ',', views, scratch), n) << line;
  EXPECT_EQ(V(views.begin(), views.end()), out) << line;
  return out;
}

TEST(Tokenize, Table) {
  const struct {
    const char* line;
    V fields;
  } rows[] = {
      {"7,8,9,100,/x/f,5,4711", {"7", "8", "9", "100", "/x/f", "5", "4711"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {",,,", {"", "", "", ""}},
      {"", {}},
      {"\"\",x", {"", "x"}},
      {"1,\"/a,b/c\",2", {"1", "/a,b/c", "2"}},
      {"\"say \\\"hi\\\"\",z", {"say \"hi\"", "z"}},
      {"\"back\\\\slash\"", {"back\\slash"}},
      {"\"ab\"cd,e", {"abcd", "e"}},        // text after the closing quote joins the field
      {"ab\"c,d\"", {"ab\"c", "d\""}},      // a quote inside a field is an ordinary byte
      {"a\\,b,c", {"a,b", "c"}},            // escapes work outside quotes too
      {"a,b\\", {"a", "b\\"}},              // a trailing escape is kept
      {"1,\"abc,def", {"1", "\"abc,def"}},  // an unterminated quote runs to the end as written
      {"\"x\\\"", {"\"x\\\""}},             // an escaped quote does not close
  };
  for (const auto& r : rows) EXPECT_EQ(Split(r.line), r.fields) << r.line;
}

TEST(Tokenize, StringInsideTheTargetVector) {
  std::vector<CZeString> tokens{CZeString("p,q,r")};
  EXPECT_EQ(tokens[0].Tokenize(tokens, '"', '"', '\\', ',', false), 3);
  EXPECT_TRUE(tokens[2] == "r");
}

// Whatever a field holds, the line written with AppendLineField splits back into it, and a field
// that needs no quotes is written as it is. Two hundred escaped fields also take the views'
// scratch buffer through reallocations (ASan sees a dangling view).
TEST(LineField, RoundTripsHostileFields) {
  V fields = {"",   ",",   "\"", "\\",     "\\\"",     "\"a,b\"",
              ",,", "a\\", "\"", "x\ry\t", "\xff\xfe", "trailing,\\"};
  for (int i = 0; i < 200; ++i)
    fields.push_back("n\\" + std::to_string(i) + ",\"" + std::string(i, 'q'));
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    trhsm::platform::AppendLineField(&line, fields[i], ',');
  }
  EXPECT_EQ(Split(line), fields);
  line.clear();
  trhsm::platform::AppendLineField(&line, "/a/b c", ',');
  EXPECT_EQ(line, "/a/b c");
}

}  // namespace
