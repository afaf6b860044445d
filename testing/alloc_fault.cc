// Replacements of the global operator new and delete that can fail one allocation on request.
#include "testing/alloc_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> g_countdown{0};  // 0: disarmed; otherwise allocations left until the failure
std::atomic<bool> g_fired{false};

void* Allocate(std::size_t size) {
  long left = g_countdown.load(std::memory_order_relaxed);
  if (left > 0) {
    g_countdown.store(left - 1, std::memory_order_relaxed);
    if (left == 1) {
      g_fired.store(true, std::memory_order_relaxed);
      throw std::bad_alloc();
    }
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace trhsm_test {

ScopedAllocFault::ScopedAllocFault(long n) {
  g_fired.store(false);
  g_countdown.store(n > 0 ? n : 0);
}
ScopedAllocFault::~ScopedAllocFault() { g_countdown.store(0); }
bool ScopedAllocFault::fired() const { return g_fired.load(); }

}  // namespace trhsm_test

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
