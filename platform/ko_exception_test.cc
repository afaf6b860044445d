// Tests of KoException.
#include "trhsm/KoException.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(KoExceptionTest, CaughtAsStdExceptionWithItsMessage) {
  try {
    throw KoException("TRHSMMntTab::find", std::string("no mount holds /x"), "mnt.cc", 42, -1);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "no mount holds /x");
    const auto* ko = dynamic_cast<const KoException*>(&e);
    ASSERT_NE(ko, nullptr);
    KoException copy = *ko;
    EXPECT_EQ(copy.getMessage(), "no mount holds /x");
    EXPECT_EQ(copy.getFunction(), "TRHSMMntTab::find");
    EXPECT_EQ(copy.getFile(), "mnt.cc");
    EXPECT_EQ(copy.getLine(), 42);
    EXPECT_EQ(copy.getCode(), -1);
  }
  KoException empty(nullptr, static_cast<const char*>(nullptr), nullptr, 0, -1);
  EXPECT_STREQ(empty.what(), "");
}

}  // namespace
