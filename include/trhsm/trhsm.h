// Everything a job executable needs: every public header of libtrhsm and of the platform layer.
#ifndef TRHSM_TRHSM_H_
#define TRHSM_TRHSM_H_

// Platform layer.
#include "trhsm/ApplicationId.h"
#include "trhsm/CTimeCounter.h"
#include "trhsm/CTimeInterval.h"
#include "trhsm/CZeError.h"
#include "trhsm/CZeString.h"
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/FsClientApi.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/KoCriticalSectionH.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFile.h"
#include "trhsm/KoFileLock.h"
#include "trhsm/KoFileName.h"
#include "trhsm/KoMntTab.h"

// The library.
#include "trhsm/FXMutex.h"
#include "trhsm/HSMJobManager.h"
#include "trhsm/KoCriticalSection.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCommon.h"
#include "trhsm/TRHSMMigratedDirTrees.h"
#include "trhsm/TRHSMMntTab.h"
#include "trhsm/TRHSMPerfCounter.h"
#include "trhsm/TRHSMStubFile.h"

#endif  // TRHSM_TRHSM_H_
