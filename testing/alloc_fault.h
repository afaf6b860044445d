// Out-of-memory injection for tests: linked into a test binary (target trhsm_alloc_fault), its
// replacements of the global operator new and delete make the n-th allocation from the arming on
// throw std::bad_alloc, as an exhausted heap does. Only the plain and array forms are replaced (the
// aligned ones are left to the library); memory comes from malloc. Not for several threads at once.
#ifndef TRHSM_TESTING_ALLOC_FAULT_H_
#define TRHSM_TESTING_ALLOC_FAULT_H_

namespace trhsm_test {

// For its lifetime, the n-th allocation (n >= 1) through operator new, counted from construction,
// throws std::bad_alloc; the ones before and after succeed.
class ScopedAllocFault {
 public:
  explicit ScopedAllocFault(long n);
  ~ScopedAllocFault();
  ScopedAllocFault(const ScopedAllocFault&) = delete;
  ScopedAllocFault& operator=(const ScopedAllocFault&) = delete;

  // True once the armed allocation failed.
  bool fired() const;
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_ALLOC_FAULT_H_
