// The next definition of a C library function after an interposer's own (the C library's, or a
// sanitizer's interceptor before it), looked up once per call site.
#ifndef TRHSM_TESTING_NEXT_DEFINITION_H_
#define TRHSM_TESTING_NEXT_DEFINITION_H_

#include <dlfcn.h>

#include <atomic>

namespace trhsm_test {
template <typename Fn>
Fn NextDefinition(std::atomic<void*>& slot, const char* name) {
  if (slot.load(std::memory_order_acquire) == nullptr) slot.store(dlsym(RTLD_NEXT, name));
  return reinterpret_cast<Fn>(slot.load(std::memory_order_acquire));
}
}  // namespace trhsm_test

// Declares `next`, the next definition of `name`, of function pointer type `type`.
#define TRHSM_NEXT(type, name)                  \
  static std::atomic<void*> next_slot{nullptr}; \
  auto next = trhsm_test::NextDefinition<type>(next_slot, name)

#endif  // TRHSM_TESTING_NEXT_DEFINITION_H_
