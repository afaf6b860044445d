// A span of time as one 64-bit count of microseconds.
#ifndef TRHSM_CTIMEINTERVAL_H_
#define TRHSM_CTIMEINTERVAL_H_

#include <cstdint>

class CTimeInterval {
 public:
  CTimeInterval() = default;
  explicit CTimeInterval(int64_t microseconds) : count_(microseconds) {}

  bool IsClear() const { return count_ == 0; }
  int64_t GetMicroseconds() const { return count_; }

 private:
  int64_t count_ = 0;
};

#endif  // TRHSM_CTIMEINTERVAL_H_
