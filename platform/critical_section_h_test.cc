// Tests of KoCriticalSectionH: blocking and trying entry.
#include "trhsm/KoCriticalSectionH.h"

#include <thread>

#include <gtest/gtest.h>

namespace {

TEST(KoCriticalSectionHTest, TryFailsWhileAnotherThreadHoldsIt) {
  KoCriticalSectionH section;
  ASSERT_EQ(section.enter(true), 1);
  int tried = -1;
  std::thread([&] { tried = section.enter(false); }).join();
  EXPECT_EQ(tried, 0);
  section.leave();
  std::thread([&] {
    tried = section.enter(false);
    if (tried == 1) section.leave();
  }).join();
  EXPECT_EQ(tried, 1);
}

}  // namespace
