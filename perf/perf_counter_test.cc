// The job's timing counters: hand-out, the report lines and their order, concurrent use.
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using Perf = TRHSMPerfCounter;

// The report lines in the log, without the log's own time, process and tag columns.
std::vector<std::string> ReportLines(const trhsm_test::LogCapture& log) {
  static const std::string tag = "void TRHSMPerfCounter::LogAllPerformanceCounters(int): ";
  std::vector<std::string> lines;
  std::istringstream in(log.Text());
  for (std::string line; std::getline(in, line);)
    if (size_t at = line.find(tag); at != std::string::npos)
      lines.push_back(line.substr(at + tag.size()));
  return lines;
}

TEST(PerfCounterTest, CountersAndReports) {
  trhsm_test::LogCapture log;
  Perf perf;
  EXPECT_EQ(perf.GetCounter(Perf::END), nullptr);
  EXPECT_EQ(perf.GetCounter(static_cast<Perf::TRHSMCounters>(42)), nullptr);
  perf.LogAllPerformanceCounters(0);  // no counter used: nothing to say
  EXPECT_EQ(log.Text(), "");
  for (auto [counter, us] : {std::pair{Perf::FILE_STAT, 1000},
                             {Perf::FILE_STAT, 2000},
                             {Perf::DO_STUBBING_QUERY, 2500000},
                             {Perf::COUNT_LINES, 0}})
    perf.GetCounter(counter)->AddSample(CTimeInterval(us));  // a sample of 0 uses it all the same
  KoLogWriter* const writer = std::exchange(g_ptrLogWriter, nullptr);
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
  const std::string lines[] = {
      "DO_STUBBING_QUERY : 1 samples, total 2.500 s, mean 2.500 s, max 2.500 s",
      "FILE_STAT : 2 samples, total 3.000 ms, mean 1.500 ms, max 2.000 ms",
      "COUNT_LINES : 1 samples, total 0 us, mean 0 us, max 0 us"};
  EXPECT_EQ(ReportLines(log),
            (std::vector<std::string>{lines[0], lines[1], lines[2], "Thread [-3] " + lines[0],
                                      "Thread [-3] " + lines[1], "Thread [-3] " + lines[2]}));
  perf.CreateAllPerformanceCounters();  // replaces every counter, samples and all
  log.Clear();
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(log.Text(), "");
}

// Lookups, reports and re-creation from several threads at once; ThreadSanitizer checks the
// locking, and one report's lines are never split by another's.
TEST(PerfCounterTest, ConcurrentUse) {
  trhsm_test::LogCapture log;
  Perf perf;
  perf.GetCounter(Perf::SPLIT_STUB_COLLECT)->AddSample(CTimeInterval(10));
  perf.GetCounter(Perf::TEARDOWN_AUTOMOUNT)->AddSample(CTimeInterval(20));
  std::vector<std::thread> threads;
  for (int t = 1; t <= 3; ++t)
    threads.emplace_back([&perf, t] {
      for (int round = 0; round < 5; ++round) perf.LogAllPerformanceCounters(t);
    });
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> lines = ReportLines(log);
  ASSERT_EQ(lines.size(), 30u);
  for (size_t k = 0; k < lines.size(); k += 2)
    EXPECT_EQ(lines[k].substr(11, 5) + lines[k + 1].substr(0, 19),
              "SPLIT" + lines[k].substr(0, 11) + "TEARDOWN");
  std::thread recreate([&perf] { perf.CreateAllPerformanceCounters(); });
  EXPECT_NE(perf.GetCounter(Perf::FILE_STAT), nullptr);
  recreate.join();
}

}  // namespace
