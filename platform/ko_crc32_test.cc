// Tests of ko_crc32 against known CRC-32 values.
#include "trhsm/KoCrc32.h"

#include <string>

#include <gtest/gtest.h>

namespace {

uint32_t Register(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFF;
  ko_crc32(bytes.data(), bytes.size(), &crc);
  return crc;
}

TEST(KoCrc32Test, LeavesComplementOfStandardCrc) {
  EXPECT_EQ(Register("123456789"), ~0xCBF43926u);
  EXPECT_EQ(Register("The quick brown fox jumps over the lazy dog"), ~0x414FA339u);
  EXPECT_EQ(Register(""), 0xFFFFFFFFu);
  uint32_t crc = 0x12345678;
  ko_crc32(nullptr, 0, &crc);
  EXPECT_EQ(crc, 0x12345678u);
}

TEST(KoCrc32Test, SplitInputGivesTheSameRegister) {
  std::string text = "123456789 and some more bytes";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    uint32_t crc = 0xFFFFFFFF;
    ko_crc32(text.data(), cut, &crc);
    ko_crc32(text.data() + cut, text.size() - cut, &crc);
    EXPECT_EQ(crc, Register(text)) << "cut at " << cut;
  }
}

}  // namespace
