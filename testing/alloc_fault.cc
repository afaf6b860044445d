// Every form of new and delete is replaced, or a sanitizer's would pair with these.
#include "testing/alloc_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_left{0};  // 0: disarmed; otherwise the allocations left until the failure
std::atomic<bool> g_fired{false};
void* Allocate(std::size_t size) {
  if (g_left > 0 && --g_left == 0) g_fired = true, throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* AllocateOrNull(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
}  // namespace

trhsm_test::ScopedAllocFault::ScopedAllocFault(long n) { g_fired = false, g_left = n > 0 ? n : 0; }
trhsm_test::ScopedAllocFault::~ScopedAllocFault() { g_left = 0; }
bool trhsm_test::ScopedAllocFault::fired() const { return g_fired; }

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return AllocateOrNull(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return AllocateOrNull(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
