// Out-of-memory injection: linked into a test binary (target trhsm_alloc_fault), its replacements
// of the plain and array operator new (memory from malloc) can throw std::bad_alloc on request, as
// an exhausted heap does. Not for several threads at once.
#ifndef TRHSM_TESTING_ALLOC_FAULT_H_
#define TRHSM_TESTING_ALLOC_FAULT_H_

namespace trhsm_test {

// For its lifetime, the n-th allocation (n >= 1) from construction on throws std::bad_alloc.
class ScopedAllocFault {
 public:
  explicit ScopedAllocFault(long n);
  ~ScopedAllocFault();
  ScopedAllocFault(const ScopedAllocFault&) = delete;
  ScopedAllocFault& operator=(const ScopedAllocFault&) = delete;
  bool fired() const;  // the armed allocation failed
};

}  // namespace trhsm_test

#endif  // TRHSM_TESTING_ALLOC_FAULT_H_
