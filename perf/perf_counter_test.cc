// The job's timing counters: hand-out, the report lines and their order, concurrent use.
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using Counter = TRHSMPerfCounter::TRHSMCounters;

// The report lines in the log, without the log's own time, process and tag columns.
std::vector<std::string> ReportLines(const trhsm_test::LogCapture& log) {
  static const std::string tag = "void TRHSMPerfCounter::LogAllPerformanceCounters(int): ";
  std::vector<std::string> lines;
  std::istringstream in(log.Text());
  for (std::string line; std::getline(in, line);) {
    if (size_t at = line.find(tag); at != std::string::npos)
      lines.push_back(line.substr(at + tag.size()));
  }
  return lines;
}

TEST(PerfCounterTest, CountersAndReports) {
  trhsm_test::LogCapture log;
  TRHSMPerfCounter perf;
  EXPECT_EQ(perf.GetCounter(TRHSMPerfCounter::END), nullptr);
  EXPECT_EQ(perf.GetCounter(static_cast<Counter>(42)), nullptr);
  perf.LogAllPerformanceCounters(0);  // no counter used: nothing to say
  EXPECT_EQ(log.Text(), "");
  perf.GetCounter(TRHSMPerfCounter::FILE_STAT)->AddSample(CTimeInterval(1000));
  perf.GetCounter(TRHSMPerfCounter::FILE_STAT)->AddSample(CTimeInterval(2000));
  perf.GetCounter(TRHSMPerfCounter::DO_STUBBING_QUERY)->AddSample(CTimeInterval(2500000));
  perf.GetCounter(TRHSMPerfCounter::COUNT_LINES)->AddSample(CTimeInterval(0));  // used all the same
  KoLogWriter* const writer = g_ptrLogWriter;
  g_ptrLogWriter = nullptr;
  perf.LogAllPerformanceCounters(2);
  g_ptrLogWriter = writer;
  {
    trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "-1");
    perf.LogAllPerformanceCounters(1);
  }
  EXPECT_EQ(log.Text(), "");
  trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "0");
  perf.LogAllPerformanceCounters(0);
  perf.LogAllPerformanceCounters(-3);
  EXPECT_EQ(
      ReportLines(log),
      (std::vector<std::string>{
          "DO_STUBBING_QUERY : 1 samples, total 2.500 s, mean 2.500 s, max 2.500 s",
          "FILE_STAT : 2 samples, total 3.000 ms, mean 1.500 ms, max 2.000 ms",
          "COUNT_LINES : 1 samples, total 0 us, mean 0 us, max 0 us",
          "Thread [-3] DO_STUBBING_QUERY : 1 samples, total 2.500 s, mean 2.500 s, max 2.500 s",
          "Thread [-3] FILE_STAT : 2 samples, total 3.000 ms, mean 1.500 ms, max 2.000 ms",
          "Thread [-3] COUNT_LINES : 1 samples, total 0 us, mean 0 us, max 0 us"}));
  // Re-creation replaces every counter, samples and all.
  perf.CreateAllPerformanceCounters();
  log.Clear();
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(log.Text(), "");
}

// Lookups, reports and re-creation from several threads at once; ThreadSanitizer checks the
// locking, and one report's lines are never split by another's.
TEST(PerfCounterTest, ConcurrentUse) {
  trhsm_test::LogCapture log;
  TRHSMPerfCounter perf;
  perf.GetCounter(TRHSMPerfCounter::SPLIT_STUB_COLLECT)->AddSample(CTimeInterval(10));
  perf.GetCounter(TRHSMPerfCounter::TEARDOWN_AUTOMOUNT)->AddSample(CTimeInterval(20));
  std::vector<std::thread> threads;
  for (int t = 1; t <= 3; ++t) {
    threads.emplace_back([&perf, t] {
      for (int round = 0; round < 5; ++round) perf.LogAllPerformanceCounters(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> lines = ReportLines(log);
  ASSERT_EQ(lines.size(), 30u);
  for (size_t k = 0; k < lines.size(); k += 2) {
    EXPECT_EQ(lines[k].substr(11, 5) + lines[k + 1].substr(0, 19),
              "SPLIT" + lines[k].substr(0, 11) + "TEARDOWN");
  }
  std::thread recreate([&perf] { perf.CreateAllPerformanceCounters(); });
  EXPECT_NE(perf.GetCounter(TRHSMPerfCounter::FILE_STAT), nullptr);
  recreate.join();
}

}  // namespace
