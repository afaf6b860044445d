// Tests of CTimeCounter: samples, totals and the summary text.
#include "trhsm/CTimeCounter.h"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(CTimeCounterTest, EachStartStopPairIsOneSample) {
  CTimeCounter counter;
  EXPECT_TRUE(counter.GetTotalTime().IsClear());
  counter.Stop();  // nothing running
  EXPECT_EQ(counter.GetTotalSamples(), 0);

  counter.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  counter.Stop();
  counter.Stop();  // the sample already ended
  EXPECT_EQ(counter.GetTotalSamples(), 1);
  EXPECT_GE(counter.GetTotalTime().GetMicroseconds(), 3000);
  EXPECT_EQ(counter.GetMaxTime().GetMicroseconds(), counter.GetTotalTime().GetMicroseconds());

  counter.Start();
  counter.Stop();
  EXPECT_EQ(counter.GetTotalSamples(), 2);
}

TEST(CTimeCounterTest, AsStringGivesSamplesTotalMeanAndMax) {
  CTimeCounter counter;
  EXPECT_EQ(counter.AsString(), "0 samples, total 0 us, mean 0 us, max 0 us");
  counter.AddSample(CTimeInterval(250));
  counter.AddSample(CTimeInterval(2400000));
  counter.AddSample(CTimeInterval(0));
  counter.AddSample(CTimeInterval(-40));  // counted, adds no time
  EXPECT_EQ(counter.GetTotalSamples(), 4);
  EXPECT_EQ(counter.GetTotalTime().GetMicroseconds(), 2400250);
  EXPECT_EQ(counter.AsString(), "4 samples, total 2.400 s, mean 600.062 ms, max 2.400 s");
}

}  // namespace
