// The job's common interface: argument record and command line, collect-file lines, the stub cache
// and the client environment.
#ifndef TRHSM_TRHSMCOMMON_H_
#define TRHSM_TRHSMCOMMON_H_

#include "trhsm/TRHSMCmdLine.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/TRHSMEnvironment.h"
#include "trhsm/TRHSMStubCache.h"

#endif  // TRHSM_TRHSMCOMMON_H_
