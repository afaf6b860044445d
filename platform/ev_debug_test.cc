// Tests of the log: line layout, level filtering, events, and whole lines under concurrent writers.
#include "trhsm/EvDebug.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
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

TEST(EvDebugTest, ErrorsAreMarkedAndUntaggedLinesWritten) {
  LogCapture log;
  EvDebug debug(nullptr);
  debug.Error("Op", "broken");
  debug.Debug("Op", "fine");
  debug.debug("plain %d", 1);
  debug.debug(7, "plain at level %d", 7);
  std::vector<std::string> lines = Lines(log.Text());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find(" ERROR Op: broken"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].find("ERROR"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("plain 1"), std::string::npos);
  EXPECT_NE(lines[3].find("plain at level 7"), std::string::npos);
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

TEST(EvDebugTest, MajorEventAndLogWriterLines) {
  LogCapture log;
  EvEvent events;
  EvEvent copy = events;
  copy.MajorEvent(0x600000C, 0, 0);
  g_ptrLogWriter->Write("void TRHSMPerfCounter::LogAllPerformanceCounters(int)", __LINE__, 0, 0,
                        "%s", "FILE_STAT : 1 samples");
  EXPECT_TRUE(log.Contains("event 0x600000C")) << log.Text();
  EXPECT_TRUE(log.Contains("void TRHSMPerfCounter::LogAllPerformanceCounters(int): FILE_STAT : 1"))
      << log.Text();
}

TEST(EvDebugTest, LongAndMultiLineMessagesStayOneLine) {
  LogCapture log;
  std::string longText(200000, 'a');
  EvDebug().Debug("Op", "<%s>", longText.c_str());
  EvDebug().Debug("Op", "first\nsecond\r\n\n");
  std::vector<std::string> lines = Lines(log.Text());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("<" + longText + ">"), std::string::npos);
  const std::string tail = "Op: first\\nsecond\\r";  // trailing newlines dropped, others escaped
  ASSERT_GE(lines[1].size(), tail.size());
  EXPECT_EQ(lines[1].substr(lines[1].size() - tail.size()), tail);
}

TEST(EvDebugTest, FollowsLogFileChanges) {
  trhsm_test::ScratchDir dir;
  std::string path = dir.File("moved.log");
  {
    ScopedEnv file("KO_LOG_FILE", path);
    EvDebug().Debug("Op", "before removal");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    EvDebug().Debug("Op", "after removal");
    EXPECT_EQ(trhsm_test::ReadFile(path).find("before"), std::string::npos);
    EXPECT_NE(trhsm_test::ReadFile(path).find("after removal"), std::string::npos);
  }
  LogCapture outer;
  EvDebug().Debug("Op", "outer one");
  {
    LogCapture inner;
    EvDebug().Debug("Op", "inner");
    EXPECT_TRUE(inner.Contains("inner"));
    EXPECT_FALSE(inner.Contains("outer"));
  }
  EvDebug().Debug("Op", "outer two");
  EXPECT_EQ(Lines(outer.Text()).size(), 2u);
  EXPECT_FALSE(outer.Contains("inner"));
}

TEST(EvDebugTest, ThreadsWriteWholeLines) {
  LogCapture log;
  const int kThreads = 8, kLines = 300;
  const std::string payload(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &payload] {
      EvDebug debug;
      for (int n = 0; n < kLines; ++n) {
        if (n % 2 == 0) {
          debug.Debug("Writer", "w%d-%d %s", t, n, payload.c_str());
        } else {
          g_ptrLogWriter->Write("Writer", __LINE__, 0, 0, "w%d-%d %s", t, n, payload.c_str());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ExpectWholeLines(log.Text(), kThreads, kLines, payload);
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
