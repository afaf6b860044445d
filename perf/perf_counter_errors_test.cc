// The performance counters' constructor when memory runs out at any of its allocations: it throws
// std::bad_alloc, and the counters made so far are released (checked by the leak sanitizer).
#include <new>

#include <gtest/gtest.h>

#include "testing/alloc_fault.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

using trhsm_test::ScopedAllocFault;

TEST(PerfCounterOutOfMemory, ConstructorFailsWholeAtEveryAllocation) {
  long n = 1;
  for (; n < 200; ++n) {
    ScopedAllocFault oom(n);
    try {
      TRHSMPerfCounter counters;
      EXPECT_FALSE(oom.fired());
      EXPECT_NE(counters.GetCounter(TRHSMPerfCounter::COUNT_LINES), nullptr);
      break;
    } catch (const std::bad_alloc&) {
      EXPECT_TRUE(oom.fired());
    }
  }
  EXPECT_GT(n, 8) << "the names and counters need an allocation each";
  EXPECT_LT(n, 200);
}

}  // namespace
