// TRHSM_NEXT(type, name) declares `next`, the next definition of C library function `name` (of
// function pointer type `type`) after an interposer's own: the C library's, or a sanitizer's
// interceptor before it; looked up once per call site.
#ifndef TRHSM_TESTING_NEXT_DEFINITION_H_
#define TRHSM_TESTING_NEXT_DEFINITION_H_

#include <dlfcn.h>

#include <atomic>

#define TRHSM_NEXT(type, name)                                          \
  static std::atomic<void*> next_slot{nullptr};                         \
  if (next_slot.load(std::memory_order_acquire) == nullptr)             \
    next_slot.store(dlsym(RTLD_NEXT, name), std::memory_order_release); \
  auto next = reinterpret_cast<type>(next_slot.load(std::memory_order_acquire))

#endif  // TRHSM_TESTING_NEXT_DEFINITION_H_
