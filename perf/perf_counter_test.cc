// The job's timing counters: hand-out, the report lines and their order, and concurrent use.
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;

constexpr const char kTag[] = "void TRHSMPerfCounter::LogAllPerformanceCounters(int): ";

// The report lines in the log, without the log's own time, process and tag columns.
std::vector<std::string> ReportLines(const LogCapture& log) {
  std::vector<std::string> lines;
  std::istringstream in(log.Text());
  std::string line;
  while (std::getline(in, line)) {
    size_t at = line.find(kTag);
    if (at != std::string::npos) lines.push_back(line.substr(at + sizeof kTag - 1));
  }
  return lines;
}

using Counter = TRHSMPerfCounter::TRHSMCounters;

TEST(PerfCounterTest, HandsOutSevenDistinctCounters) {
  TRHSMPerfCounter perf;
  std::vector<CTimeCounter*> seen;
  for (unsigned int i = 0; i < TRHSMPerfCounter::END; ++i) {
    CTimeCounter* counter = perf.GetCounter(static_cast<Counter>(i));
    ASSERT_NE(counter, nullptr) << i;
    EXPECT_EQ(counter->GetTotalSamples(), 0);
    for (CTimeCounter* other : seen) EXPECT_NE(counter, other);
    seen.push_back(counter);
  }
  EXPECT_EQ(perf.GetCounter(TRHSMPerfCounter::END), nullptr);
  EXPECT_EQ(perf.GetCounter(static_cast<Counter>(42)), nullptr);
  // Asking for a missing counter made none, and the real ones stay where they were.
  EXPECT_EQ(perf.GetCounter(TRHSMPerfCounter::FILE_STAT), seen[4]);
}

TEST(PerfCounterTest, WritesOnlyUsedCountersAndOnlyWhenAdmitted) {
  LogCapture log;
  TRHSMPerfCounter perf;
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(log.Text(), "");
  perf.GetCounter(TRHSMPerfCounter::REMOVE_FILE)->AddSample(CTimeInterval(5));
  {
    ScopedEnv level("KO_LOG_LEVEL", "-1");
    perf.LogAllPerformanceCounters(1);
    EXPECT_EQ(log.Text(), "");
  }
  ScopedEnv level("KO_LOG_LEVEL", "0");
  perf.LogAllPerformanceCounters(1);
  EXPECT_EQ(ReportLines(log).size(), 1u);
}

TEST(PerfCounterTest, OneLinePerUsedCounterInCounterOrder) {
  LogCapture log;
  TRHSMPerfCounter perf;
  perf.GetCounter(TRHSMPerfCounter::FILE_STAT)->AddSample(CTimeInterval(1000));
  perf.GetCounter(TRHSMPerfCounter::FILE_STAT)->AddSample(CTimeInterval(2000));
  perf.GetCounter(TRHSMPerfCounter::DO_STUBBING_QUERY)->AddSample(CTimeInterval(2500000));
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(ReportLines(log),
            (std::vector<std::string>{
                "DO_STUBBING_QUERY : 1 samples, total 2.500 s, mean 2.500 s, max 2.500 s",
                "FILE_STAT : 2 samples, total 3.000 ms, mean 1.500 ms, max 2.000 ms"}));

  log.Clear();
  for (unsigned int i = 0; i < TRHSMPerfCounter::END; ++i) {
    perf.GetCounter(static_cast<Counter>(i))->AddSample(CTimeInterval(7));
  }
  perf.LogAllPerformanceCounters(0);
  std::vector<std::string> lines = ReportLines(log);
  const char* names[] = {"DO_STUBBING_QUERY",  "SPLIT_STUB_COLLECT", "SETUP_AUTOMOUNT",
                         "TEARDOWN_AUTOMOUNT", "FILE_STAT",          "REMOVE_FILE",
                         "COUNT_LINES"};
  ASSERT_EQ(lines.size(), 7u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i],
              std::string(names[i]) + " : " + perf.GetCounter(static_cast<Counter>(i))->AsString());
  }
  // Reporting changed nothing.
  EXPECT_EQ(perf.GetCounter(TRHSMPerfCounter::FILE_STAT)->GetTotalSamples(), 3);
}

// A thread's report carries its number; without a log writer (g_ptrLogWriter null) nothing is
// written or dereferenced, and the samples stay for a later report.
TEST(PerfCounterTest, ThreadNumberPrefixAndNoWriter) {
  LogCapture log;
  TRHSMPerfCounter perf;
  CTimeCounter* stat = perf.GetCounter(TRHSMPerfCounter::FILE_STAT);
  // A sample that took no measurable time still counts as use.
  stat->AddSample(CTimeInterval(0));
  const std::string summary = stat->AsString();
  EXPECT_EQ(summary, "1 samples, total 0 us, mean 0 us, max 0 us");
  KoLogWriter* const writer = g_ptrLogWriter;
  g_ptrLogWriter = nullptr;
  perf.LogAllPerformanceCounters(2);
  g_ptrLogWriter = writer;
  EXPECT_EQ(log.Text(), "");

  perf.LogAllPerformanceCounters(12);
  perf.LogAllPerformanceCounters(-3);
  perf.LogAllPerformanceCounters(0);
  EXPECT_EQ(ReportLines(log), (std::vector<std::string>{"Thread [12] FILE_STAT : " + summary,
                                                        "Thread [-3] FILE_STAT : " + summary,
                                                        "FILE_STAT : " + summary}));
}

// Lookups and reports from several threads at once; ThreadSanitizer checks the locking.
TEST(PerfCounterTest, ConcurrentLookupsAndReports) {
  LogCapture log;
  TRHSMPerfCounter perf;
  std::vector<CTimeCounter*> expected;
  for (unsigned int i = 0; i < TRHSMPerfCounter::END; ++i) {
    expected.push_back(perf.GetCounter(static_cast<Counter>(i)));
  }
  expected[1]->AddSample(CTimeInterval(10));
  expected[3]->AddSample(CTimeInterval(20));

  constexpr int kThreads = 4;
  constexpr int kRounds = 50;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        for (unsigned int i = 0; i <= TRHSMPerfCounter::END; ++i) {
          CTimeCounter* got = perf.GetCounter(static_cast<Counter>(i));
          if (got != (i < TRHSMPerfCounter::END ? expected[i] : nullptr)) ++mismatches[t];
        }
        if (round % 10 == 0) perf.LogAllPerformanceCounters(t + 1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
  std::vector<std::string> lines = ReportLines(log);
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * (kRounds / 10) * 2));
  // One report holds the mutex for its whole loop, so its two lines are never split by another's.
  for (size_t k = 0; k + 1 < lines.size(); k += 2) {
    EXPECT_EQ(lines[k].substr(0, 11), lines[k + 1].substr(0, 11)) << k;
    EXPECT_NE(lines[k].find("SPLIT_STUB_COLLECT"), std::string::npos) << k;
    EXPECT_NE(lines[k + 1].find("TEARDOWN_AUTOMOUNT"), std::string::npos) << k;
  }
}

// Recreation writes the table while other threads read it: only the mutex keeps them apart.
TEST(PerfCounterTest, RecreationWhileOthersLookUp) {
  LogCapture log;
  TRHSMPerfCounter perf;
  perf.GetCounter(TRHSMPerfCounter::SETUP_AUTOMOUNT)->AddSample(CTimeInterval(9));
  // Re-creation replaces the counter that holds the sample, so no report below may show it.
  perf.CreateAllPerformanceCounters();
  std::vector<int> missing(3, 0);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int round = 0; round < 100; ++round) perf.CreateAllPerformanceCounters();
  });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 100; ++round) {
        for (unsigned int i = 0; i < TRHSMPerfCounter::END; ++i) {
          if (perf.GetCounter(static_cast<Counter>(i)) == nullptr) ++missing[t];
        }
        if (perf.GetCounter(TRHSMPerfCounter::END) != nullptr) ++missing[t];
        perf.LogAllPerformanceCounters(t + 1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(missing, std::vector<int>(3, 0));
  // Fresh counters only: nothing to report.
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
