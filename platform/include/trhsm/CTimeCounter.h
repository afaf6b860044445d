// An accumulating timer: each Start()/Stop() pair adds one sample.
#ifndef TRHSM_CTIMECOUNTER_H_
#define TRHSM_CTIMECOUNTER_H_

#include <cstdint>
#include <string>

#include "trhsm/CTimeInterval.h"
#include "trhsm/trhsm_platform_export.h"

// Not synchronised: one counter is fed by one thread at a time.
class TRHSM_PLATFORM_EXPORT CTimeCounter {
 public:
  CTimeCounter();
  ~CTimeCounter();

  // Starts a sample (restarts one already running).
  void Start();
  // Ends the running sample and adds it; without a running sample nothing happens.
  void Stop();
  // Adds one sample of the given length.
  void AddSample(CTimeInterval interval);

  CTimeInterval GetTotalTime() const;
  int64_t GetTotalSamples() const;
  CTimeInterval GetMaxTime() const;
  // "<samples> samples, total <t>, mean <t>, max <t>", each time with its unit (us, ms or s).
  std::string AsString() const;

 private:
  int64_t total_us_ = 0;
  int64_t max_us_ = 0;
  int64_t samples_ = 0;
  int64_t started_us_ = -1;
};

#endif  // TRHSM_CTIMECOUNTER_H_
