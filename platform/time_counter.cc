// CTimeCounter: samples timed on the monotonic clock, in microseconds.
#include "trhsm/CTimeCounter.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

namespace {

int64_t NowMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "850 us", "12.345 ms" or "3.210 s".
std::string WithUnit(int64_t us) {
  char text[48];
  if (us < 1000) {
    snprintf(text, sizeof text, "%" PRId64 " us", us);
  } else if (us < 1000000) {
    snprintf(text, sizeof text, "%.3f ms", static_cast<double>(us) / 1e3);
  } else {
    snprintf(text, sizeof text, "%.3f s", static_cast<double>(us) / 1e6);
  }
  return text;
}

}  // namespace

CTimeCounter::CTimeCounter() = default;
CTimeCounter::~CTimeCounter() = default;

void CTimeCounter::Start() { started_us_ = NowMicroseconds(); }

void CTimeCounter::Stop() {
  if (started_us_ < 0) return;
  AddSample(CTimeInterval(NowMicroseconds() - started_us_));
  started_us_ = -1;
}

void CTimeCounter::AddSample(CTimeInterval interval) {
  // A negative length can only come from a caller's arithmetic; count the sample, not the time.
  int64_t us = std::max<int64_t>(interval.GetMicroseconds(), 0);
  total_us_ += us;
  max_us_ = std::max(max_us_, us);
  ++samples_;
}

CTimeInterval CTimeCounter::GetTotalTime() const { return CTimeInterval(total_us_); }
int64_t CTimeCounter::GetTotalSamples() const { return samples_; }
CTimeInterval CTimeCounter::GetMaxTime() const { return CTimeInterval(max_us_); }

std::string CTimeCounter::AsString() const {
  int64_t mean = samples_ > 0 ? total_us_ / samples_ : 0;
  return std::to_string(samples_) + " samples, total " + WithUnit(total_us_) + ", mean " +
         WithUnit(mean) + ", max " + WithUnit(max_us_);
}
