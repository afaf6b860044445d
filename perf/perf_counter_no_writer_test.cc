// The counter report in a process without a log writer (g_ptrLogWriter null): nothing is written
// and nothing is dereferenced; the counters keep their samples for a later report.
#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using trhsm_test::LogCapture;

// Clears the process-wide log writer for its lifetime.
class NoLogWriter {
 public:
  NoLogWriter() : saved_(g_ptrLogWriter) { g_ptrLogWriter = nullptr; }
  ~NoLogWriter() { g_ptrLogWriter = saved_; }
  NoLogWriter(const NoLogWriter&) = delete;
  NoLogWriter& operator=(const NoLogWriter&) = delete;

 private:
  KoLogWriter* saved_;
};

TEST(PerfCounterNoWriterTest, ReportWithoutWriterWritesNothing) {
  LogCapture log;
  TRHSMPerfCounter perf;
  perf.GetCounter(TRHSMPerfCounter::COUNT_LINES)->AddSample(CTimeInterval(3000));
  {
    NoLogWriter none;
    perf.LogAllPerformanceCounters(2);
  }
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(perf.GetCounter(TRHSMPerfCounter::COUNT_LINES)->GetTotalSamples(), 1);
  perf.LogAllPerformanceCounters(2);
  EXPECT_TRUE(log.Contains("Thread [2] COUNT_LINES : 1 samples, total 3.000 ms")) << log.Text();
}

}  // namespace
