// Out-of-memory injection (target trhsm_alloc_fault): replacements of operator new and delete
// (memory from malloc) that throw std::bad_alloc on request, as an exhausted heap does.
#ifndef TRHSM_TESTING_ALLOC_FAULT_H_
#define TRHSM_TESTING_ALLOC_FAULT_H_

namespace trhsm_test {
// For its lifetime, the n-th allocation (n >= 1; 0: none) from construction on fails. One thread.
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
