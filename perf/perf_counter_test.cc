// The job's timing counters: hand-out, the report lines and their order (their lock: lock_test).
#include <gtest/gtest.h>

#include <sstream>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using Perf = TRHSMPerfCounter;

TEST(PerfCounterTest, CountersAndReports) {
  trhsm_test::LogCapture log;
  Perf perf;
  EXPECT_EQ(perf.GetCounter(Perf::END), nullptr);  // not a counter: none is made for it
  perf.LogAllPerformanceCounters(0);               // no counter used: nothing to say
  EXPECT_EQ(log.Text(), "");
  for (auto [counter, us] : {std::pair{Perf::FILE_STAT, 1000},
                             {Perf::FILE_STAT, 2000},
                             {Perf::DO_STUBBING_QUERY, 2500000},
                             {Perf::COUNT_LINES, 0}})
    perf.GetCounter(counter)->AddSample(CTimeInterval(us));  // a sample of 0 uses it all the same
  KoLogWriter* const writer = std::exchange(g_ptrLogWriter, nullptr);
  perf.LogAllPerformanceCounters(2);  // no log writer: nothing, and no crash
  g_ptrLogWriter = writer;
  trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "0");
  perf.LogAllPerformanceCounters(0);
  perf.LogAllPerformanceCounters(-3);
  std::string report, expected;  // without the log's own time, process and tag columns
  const std::string tag = "void TRHSMPerfCounter::LogAllPerformanceCounters(int): ";
  std::istringstream in(log.Text());
  for (std::string line; std::getline(in, line);)
    if (size_t at = line.find(tag); at != std::string::npos)
      report += line.substr(at + tag.size()) + "|";
  for (const std::string prefix : {"", "Thread [-3] "}) {
    for (const char* line :
         {"DO_STUBBING_QUERY : 1 samples, total 2.500 s, mean 2.500 s, max 2.500 s",
          "FILE_STAT : 2 samples, total 3.000 ms, mean 1.500 ms, max 2.000 ms",
          "COUNT_LINES : 1 samples, total 0 us, mean 0 us, max 0 us"})
      expected += prefix + line + "|";
  }
  EXPECT_EQ(report, expected);
  perf.CreateAllPerformanceCounters();  // replaces every counter, samples and all
  log.Clear();
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
