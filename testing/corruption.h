// Damage for corruption tests: every single-bit flip and every truncation of a valid encoding, and
// the messages a damaged input left in the log.
#ifndef TRHSM_TESTING_CORRUPTION_H_
#define TRHSM_TESTING_CORRUPTION_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace trhsm_test {

// One flipped bit: byte `at` of the input, bit `bit` (0 is the lowest).
struct BitFlip {
  size_t at;
  int bit;
  // "byte 12 bit 3 (0x33 -> 0x3b)" for test traces.
  std::string Describe(const std::string& good) const {
    const unsigned before = static_cast<unsigned char>(good[at]);
    char text[64];
    std::snprintf(text, sizeof text, "byte %zu bit %d (0x%02x -> 0x%02x)", at, bit, before,
                  before ^ (1u << bit));
    return text;
  }
};

// `good` with one bit flipped.
inline std::string Flipped(const std::string& good, BitFlip flip) {
  std::string damaged = good;
  damaged[flip.at] = static_cast<char>(damaged[flip.at] ^ (1 << flip.bit));
  return damaged;
}

// Calls check(damaged, flip) for every single-bit flip of the bytes [from, to) of `good` (to is
// clipped to the size).
template <typename Check>
void ForEachBitFlip(const std::string& good, Check check, size_t from = 0,
                    size_t to = std::string::npos) {
  if (to > good.size()) to = good.size();
  for (size_t at = from; at < to; ++at) {
    for (int bit = 0; bit < 8; ++bit) {
      const BitFlip flip{at, bit};
      check(Flipped(good, flip), flip);
    }
  }
}

// Calls check(prefix) for every proper prefix of `good`, the empty one included, longest first.
template <typename Check>
void ForEachTruncation(const std::string& good, Check check) {
  for (size_t length = good.size(); length-- > 0;) check(good.substr(0, length));
}

// The logged lines of a log text as "KIND tag: message", the time stamp and the process and
// thread ids taken off.
inline std::vector<std::string> LoggedMessages(const std::string& log) {
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    // date, time, pid, tid, then the kind.
    size_t p = 0;
    for (int field = 0; field < 4 && p != std::string::npos; ++field) {
      p = line.find(' ', p);
      if (p != std::string::npos) ++p;
    }
    messages.push_back(p == std::string::npos ? line : line.substr(p));
    start = end + 1;
  }
  return messages;
}

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_CORRUPTION_H_
