// KoCriticalSection and its guard: thin wrappers over the platform's critical-section handle.
#include <new>

#include "trhsm/KoCriticalSection.h"
#include "trhsm/KoCriticalSectionH.h"

KoCriticalSection::KoCriticalSection() {
  try {
    m_handle = std::make_unique<KoCriticalSectionH>();
  } catch (const std::bad_alloc&) {
    throw "Not enough memory to initialize KoCriticalSection";
  }
}

KoCriticalSection::~KoCriticalSection() { m_handle.reset(); }

int KoCriticalSection::enter(bool wait) { return m_handle->enter(wait); }

void KoCriticalSection::leave() { m_handle->leave(); }

KoCriticalSectionLock::KoCriticalSectionLock(KoCriticalSection* section) : m_section(section) {
  if (m_section != nullptr) static_cast<void>(m_section->enter(true));
}

KoCriticalSectionLock::~KoCriticalSectionLock() {
  if (m_section == nullptr) return;
  // A destructor that lets an exception out during unwinding ends the process.
  try {
    m_section->leave();
  } catch (...) {
  }
}
