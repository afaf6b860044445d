// Number conversions shared by the stub record and the reparse text.
#ifndef TRHSM_STUB_CONVERSIONS_H_
#define TRHSM_STUB_CONVERSIONS_H_

#include <cstdlib>

namespace trhsm {

// atoll(3): leading blanks and a sign accepted, stops at the first non-digit, no digits give 0.
inline long long trhsm_atoll(const char* text) { return std::atoll(text); }

}  // namespace trhsm

#endif  // TRHSM_STUB_CONVERSIONS_H_
