// The next definition of a C library function after the interposer's own one (the C library's,
// or a sanitizer's interceptor before it), looked up once per call site.
#ifndef TRHSM_TESTING_NEXT_DEFINITION_H_
#define TRHSM_TESTING_NEXT_DEFINITION_H_

#include <dlfcn.h>

#include <atomic>

namespace trhsm_test {

template <typename Fn>
Fn NextDefinition(std::atomic<void*>& slot, const char* name) {
  void* p = slot.load(std::memory_order_acquire);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
  }
  return reinterpret_cast<Fn>(p);
}

}  // namespace trhsm_test

// Declares `next`, the next definition of `name` of function type `type`.
#define TRHSM_NEXT(type, name)                  \
  static std::atomic<void*> next_slot{nullptr}; \
  auto next = trhsm_test::NextDefinition<type>(next_slot, name)

#endif  // TRHSM_TESTING_NEXT_DEFINITION_H_
