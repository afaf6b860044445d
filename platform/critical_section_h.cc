// KoCriticalSectionH: a plain process-local mutex.
#include "trhsm/KoCriticalSectionH.h"

KoCriticalSectionH::KoCriticalSectionH() = default;
KoCriticalSectionH::~KoCriticalSectionH() = default;

int KoCriticalSectionH::enter(bool wait) {
  if (wait) {
    mutex_.lock();
    return 1;
  }
  return mutex_.try_lock() ? 1 : 0;
}

void KoCriticalSectionH::leave() { mutex_.unlock(); }
