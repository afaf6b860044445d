// Tests of the log: line layout, level filtering, events, and whole lines under concurrent writers.
#include "trhsm/EvDebug.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "last line has no newline";
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Checks that `text` holds exactly writers x perWriter lines "... Writer: w<i>-<n> <payload>", each
// once (parsed by hand: std::regex recurses once per character on lines this long).
void ExpectWholeLines(const std::string& text, int writers, int perWriter,
                      const std::string& payload) {
  const std::string marker = " Writer: w";
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : Lines(text)) {
    size_t at = line.find(marker);
    ASSERT_NE(at, std::string::npos) << line.substr(0, 200);
    int writer = -1, number = -1, used = 0;
    ASSERT_EQ(sscanf(line.c_str() + at + marker.size(), "%d-%d %n", &writer, &number, &used), 2);
    ASSERT_EQ(line.substr(at + marker.size() + used), payload) << line.substr(0, 200);
    EXPECT_TRUE(seen.emplace(writer, number).second) << line.substr(0, 200);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(writers * perWriter));
}

TEST(EvDebugTest, LineHoldsTimeIdsTagAndMessage) {
  LogCapture log;
  EvDebug().Debug("TRHSMCollectFileDBReader::GetItem", "value %d of %s", 42, "x");
  std::vector<std::string> lines = Lines(log.Text());
  ASSERT_EQ(lines.size(), 1u);
  // Local time with microseconds and the zone offset: "2024-05-06 07:08:09.123456+0200".
  const std::string timeShape = "NNNN-NN-NN NN:NN:NN.NNNNNN?NNNN ";
  ASSERT_GT(lines[0].size(), timeShape.size());
  for (size_t i = 0; i < timeShape.size(); ++i) {
    char c = lines[0][i];
    bool fits = timeShape[i] == 'N'   ? isdigit(static_cast<unsigned char>(c)) != 0
                : timeShape[i] == '?' ? (c == '+' || c == '-')
                                      : c == timeShape[i];
    ASSERT_TRUE(fits) << lines[0];
  }
  EXPECT_EQ(lines[0].substr(timeShape.size()),
            std::to_string(getpid()) + " " + std::to_string(gettid()) +
                " DEBUG TRHSMCollectFileDBReader::GetItem: value 42 of x");
}

TEST(EvDebugTest, DebugLvlFollowsLogLevel) {
  LogCapture log;
  {
    ScopedEnv level("KO_LOG_LEVEL", "3");
    EvDebug debug;
    debug.DebugLvl("Op", 3, "at three");
    debug.DebugLvl("Op", 5, "at five");
    debug.DebugLvl("Op", -1, "always");
    EXPECT_TRUE(EvDebug::Admits(3));
    EXPECT_FALSE(EvDebug::Admits(5));
  }
  EXPECT_TRUE(log.Contains("at three"));
  EXPECT_FALSE(log.Contains("at five"));
  EXPECT_TRUE(log.Contains("always"));

  ScopedEnv restore("KO_LOG_LEVEL", "");
  unsetenv("KO_LOG_LEVEL");
  EXPECT_EQ(EvDebug::Level(), 1);
  EXPECT_TRUE(EvDebug::Admits(1));
  EXPECT_FALSE(EvDebug::Admits(2));

  setenv("KO_LOG_LEVEL", "-1", 1);
  EXPECT_EQ(g_ptrLogWriter->GetLevel(), -1);
  log.Clear();
  EvDebug().DebugLvl("Op", 0, "level zero");
  EvDebug().DebugLvl("Op", -1, "still always");
  EXPECT_FALSE(log.Contains("level zero"));
  EXPECT_TRUE(log.Contains("still always"));
}

TEST(EvDebugTest, ProcessesWriteWholeLines) {
  trhsm_test::ScratchDir dir;
  ScopedEnv file("KO_LOG_FILE", dir.File("log"));
  const int kChildren = 4, kLines = 300;
  const std::string payload(1000, 'x');
  EvDebug().Debug("Writer", "w%d-%d %s", kChildren, 0, payload.c_str());  // parent's descriptor too
  std::vector<pid_t> children;
  for (int c = 0; c < kChildren; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Another spelling of the path makes half of the children open descriptors of their own,
      // with offsets of their own, instead of sharing the inherited one.
      if (c % 2 == 1) setenv("KO_LOG_FILE", (dir.path() + "/./log").c_str(), 1);
      for (int n = 0; n < kLines; ++n)
        EvDebug().Debug("Writer", "w%d-%d %s", c, n, payload.c_str());
      _exit(0);
    }
    children.push_back(pid);
  }
  for (int n = 1; n < kLines; ++n) {
    EvDebug().Debug("Writer", "w%d-%d %s", kChildren, n, payload.c_str());
  }
  for (pid_t pid : children) EXPECT_EQ(trhsm_test::WaitChild(pid), 0);
  ExpectWholeLines(trhsm_test::ReadFile(dir.File("log")), kChildren + 1, kLines, payload);
}

}  // namespace
