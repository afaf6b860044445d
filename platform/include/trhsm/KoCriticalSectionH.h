// The platform's process-local critical-section handle: a plain, non-recursive mutex.
#ifndef TRHSM_KOCRITICALSECTIONH_H_
#define TRHSM_KOCRITICALSECTIONH_H_

#include <mutex>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT KoCriticalSectionH {
 public:
  KoCriticalSectionH();
  ~KoCriticalSectionH();
  KoCriticalSectionH(const KoCriticalSectionH&) = delete;
  KoCriticalSectionH& operator=(const KoCriticalSectionH&) = delete;

  // wait true: blocks until the section is entered and returns 1. wait false: one attempt;
  // 1 when entered, 0 when another thread holds it.
  int enter(bool wait);
  // Leaves a section that the calling thread entered.
  void leave();

 private:
  std::mutex mutex_;
};

#endif  // TRHSM_KOCRITICALSECTIONH_H_
