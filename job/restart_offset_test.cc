// Restart offsets read back out of restart strings: what is accepted, and what is refused as
// damaged.
#include "job/restart_offset.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

namespace {

using trhsm::ParseRestartOffset;
using trhsm::RestartParse;

struct Case {
  const char* text;
  RestartParse kind;
  long offset;
};

TEST(RestartOffset, ReadsTheNumberAfterTheLastRestartOption) {
  const Case cases[] = {
      {" -r 5000", RestartParse::kOffset, 5000},
      {"-j 7 -r 5000", RestartParse::kOffset, 5000},
      {"x -r -20", RestartParse::kOffset, -20},
      {"-r\t42\n", RestartParse::kOffset, 42},
      {" -r 0", RestartParse::kOffset, 0},
      {"-r 9223372036854775807", RestartParse::kOffset, LONG_MAX},
      {"-r -9223372036854775807", RestartParse::kOffset, -LONG_MAX},
      {"", RestartParse::kNone, 0},
      {" \t\n", RestartParse::kNone, 0},
      {"-r5000", RestartParse::kDamaged, 0},
      {"x -r abc", RestartParse::kDamaged, 0},
      {"-r 5000abc", RestartParse::kDamaged, 0},
      {"-r +5", RestartParse::kDamaged, 0},
      {"-r --5", RestartParse::kDamaged, 0},
      {"-r -", RestartParse::kDamaged, 0},
      {"-r 9223372036854775808", RestartParse::kDamaged, 0},
      {"-r -9223372036854775808", RestartParse::kDamaged, 0},
      {"-r 99999999999999999999999", RestartParse::kDamaged, 0},
      // Another option's value is no restart offset.
      {"-j 7", RestartParse::kDamaged, 0},
      {"-r 5000 -j 7", RestartParse::kDamaged, 0},
      {"5000", RestartParse::kDamaged, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    long offset = -1;
    std::string problem;
    EXPECT_EQ(ParseRestartOffset(c.text, &offset, &problem), c.kind);
    EXPECT_EQ(offset, c.offset);
    EXPECT_EQ(problem.empty(), c.kind != RestartParse::kDamaged);
  }
  long offset = -1;
  EXPECT_EQ(ParseRestartOffset("-r x", &offset, nullptr), RestartParse::kDamaged);
}

TEST(RestartOffset, StoredParameterReadsBack) {
  for (long value : {1L, -20L, 5000L, LONG_MAX, -LONG_MAX}) {
    std::string text = trhsm::RestartPhaseParameter(value);
    EXPECT_EQ(text, " -r " + std::to_string(value));
    long offset = 0;
    EXPECT_EQ(ParseRestartOffset("-j 7" + text, &offset, nullptr), RestartParse::kOffset);
    EXPECT_EQ(offset, value);
  }
}

}  // namespace
