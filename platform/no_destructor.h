// A wrapper that builds its object on construction and never destroys it, for process-wide state
// that must stay usable from other objects' destructors at exit.
#ifndef TRHSM_PLATFORM_NO_DESTRUCTOR_H_
#define TRHSM_PLATFORM_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace trhsm {
namespace platform {

// Use as a function-local static: `static NoDestructor<T> x(args...); x.get()->...`.
// The object lives in the wrapper's own storage until the process ends.
template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_NO_DESTRUCTOR_H_
