// Tests of the log level read from KO_LOG_LEVEL: a number is used as given (clamped to int), text
// that is no number means the default level 1.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"

namespace {

using trhsm_test::ScopedEnv;

int LevelFor(const std::string& text) {
  ScopedEnv env("KO_LOG_LEVEL", text);
  return EvDebug::Level();
}

TEST(LogLevelTest, NumbersAreUsedAndClamped) {
  EXPECT_EQ(LevelFor("5"), 5);
  EXPECT_EQ(LevelFor("-3"), -3);
  EXPECT_EQ(LevelFor("7 trailing"), 7);
  EXPECT_EQ(LevelFor("99999999999999999999"), INT_MAX);
  EXPECT_EQ(LevelFor("-99999999999999999999"), INT_MIN);
  EXPECT_EQ(LevelFor(std::to_string(static_cast<long long>(INT_MAX) + 1)), INT_MAX);
}

TEST(LogLevelTest, TextThatIsNoNumberMeansTheDefault) {
  EXPECT_EQ(LevelFor(""), 1);
  EXPECT_EQ(LevelFor("verbose"), 1);
}

TEST(LogLevelTest, AdmitsFollowsTheLevel) {
  ScopedEnv env("KO_LOG_LEVEL", "2");
  EXPECT_TRUE(EvDebug::Admits(2));
  EXPECT_FALSE(EvDebug::Admits(3));
  // -1 is the level of messages that are always written.
  ScopedEnv off("KO_LOG_LEVEL", "-5");
  EXPECT_TRUE(EvDebug::Admits(-1));
  EXPECT_FALSE(EvDebug::Admits(0));
}

}  // namespace
