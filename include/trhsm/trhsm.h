// Everything a job executable needs: every public header of libtrhsm and of the platform layer.
#ifndef TRHSM_TRHSM_H_
#define TRHSM_TRHSM_H_

// Platform layer.
#include "trhsm/CTimeCounter.h"
#include "trhsm/CTimeInterval.h"
#include "trhsm/CZeError.h"
#include "trhsm/CZeString.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/KoCriticalSectionH.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFile.h"

// The library.
#include "trhsm/FXMutex.h"
#include "trhsm/KoCriticalSection.h"
#include "trhsm/TRHSMStubFile.h"

#endif  // TRHSM_TRHSM_H_
