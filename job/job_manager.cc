// HSMJobManager: the job's reports to the job manager, through the two job-client objects.
#include "trhsm/HSMJobManager.h"

#include <exception>

#include "job/restart_offset.h"

namespace {

constexpr const char kInitTag[] = "HSMJobManager::InitJobManager";
constexpr const char kRestartTag[] = "HSMJobManager::getRestartOffset";
constexpr const char kPhaseTag[] = "HSMJobManager::NotifyJobManagerPhaseSuccess";
constexpr const char kJobTag[] = "HSMJobManager::NotifyJobManagerJobSuccess";
constexpr const char kFailureTag[] = "HSMJobManager::NotifyJobManagerFailure";
constexpr const char kFailedFilesTag[] = "HSMJobManager::NotifyFailedFiles";
constexpr const char kUpdateTag[] = "HSMJobManager::UpdateInfo";

// Values the job-client calls take that carry no meaning for the facade.
constexpr int kInitMode = 1;
constexpr bool kInitInteractive = false;
constexpr int kNoErrorCode = 0;
constexpr int kJobCtrlVerboseLevel = 0;

}  // namespace

HSMJobManager::HSMJobManager(int64_t jobId, const std::string& initExtra,
                             const std::string& initName, EvEvent* events)
    : m_jobId(jobId), m_events(events), m_initName(initName), m_initExtra(initExtra) {}

HSMJobManager::~HSMJobManager() {
  m_ctrlClient.reset();
  m_bkpClient.reset();
}

bool HSMJobManager::HasClients(const char* operation) const {
  if (m_bkpClient != nullptr && m_ctrlClient != nullptr) return true;
  // Without clients there may be no event reporter either (InitJobManager refused to start).
  EvDebug fallback;
  EvDebug& log = m_events != nullptr ? *m_events : fallback;
  log.Error(operation, "[%lld] called before InitJobManager created the job-manager clients",
            static_cast<long long>(m_jobId));
  return false;
}

int HSMJobManager::InitJobManager() {
  const long long id = m_jobId;
  if (m_events == nullptr) {
    EvDebug().Error(kInitTag, "[%lld] no event reporter: the job manager is not contacted", id);
    return 0;
  }
  m_ctrlClient.reset();
  m_bkpClient.reset();
  try {
    m_bkpClient = std::make_unique<KOBkpJobClient>();
  } catch (const std::exception&) {
    m_events->Debug(kInitTag, "new KOBkpJobClient() failed");
    return 0;
  }
  try {
    m_ctrlClient = std::make_unique<KOJobCtrlClient>(kJobCtrlVerboseLevel);
  } catch (const std::exception&) {
    m_events->Debug(kInitTag, "new KOJobCtrlClient() failed");
    return 0;
  }
  // The job is run outside the job manager: the clients exist but nobody is told.
  if (m_jobId == 0) return 1;

  const char* extra = m_initExtra.empty() ? nullptr : m_initExtra.c_str();
  m_events->Debug(kInitTag, "[%lld] going to initialize with jobmgr", id);
  if (!m_bkpClient->init(m_initName.c_str(), m_jobId, kInitMode, KOS_PLATFORM_LINUX,
                         kInitInteractive, extra)) {
    m_events->MajorEvent(kEventInitFailed, 0, 0);
    m_events->Debug(kInitTag, "[%lld] failed to init with JM", id);
    return 0;
  }
  m_events->Debug(kInitTag, "[%lld] going to initialize with jobmgr control", id);
  if (!m_ctrlClient->Init2(m_jobId, m_initName.c_str(), JOB_CTRL_STANDARD, KOS_PLATFORM_LINUX,
                           extra, nullptr)) {
    m_events->MajorEvent(kEventCtrlInitFailed, 0, 0);
    m_events->Debug(kInitTag, "[%lld] failed to init JM control object", id);
    return 0;
  }
  return 1;
}

long HSMJobManager::getRestartOffset() {
  if (!HasClients(kRestartTag)) return 0;
  EvDebug log;
  std::string restart;
  if (!m_bkpClient->getRestartString(&restart, JMRL_LAST_RUN)) {
    log.Error(kRestartTag, "[%lld] the restart string could not be read: starting from offset 0",
              static_cast<long long>(m_jobId));
    return 0;
  }
  log.Debug(kRestartTag, "Got restart string %s", restart.c_str());
  long offset = 0;
  std::string problem;
  const trhsm::RestartParse parsed = trhsm::ParseRestartOffset(restart, &offset, &problem);
  if (parsed == trhsm::RestartParse::kNone) return 0;
  if (parsed == trhsm::RestartParse::kDamaged) {
    // Starting over redoes work; a wrong offset would skip items that were never processed.
    log.Error(kRestartTag,
              "[%lld] restart string \"%s\" holds no restart offset (%s): starting from offset 0",
              static_cast<long long>(m_jobId), restart.c_str(), problem.c_str());
    return 0;
  }
  if (offset < 0) {
    log.DebugLvl(kRestartTag, 2, "Sending negative offset %ld", -offset);
  } else {
    log.DebugLvl(kRestartTag, 2, "Sending offset %ld", offset);
  }
  return offset;
}

int HSMJobManager::NotifyJobManagerPhaseSuccess(long& offset, bool flag) {
  if (!HasClients(kPhaseTag)) return 0;
  const long long id = m_jobId;
  m_events->Debug(kPhaseTag, "[%lld] Notifying Job Manager of backup phase success.", id);
  if (offset != 0) {
    const std::string parameters = trhsm::RestartPhaseParameter(offset);
    m_events->debug(1, "phase parameter(s) string = %s\n", parameters.c_str());
    if (!m_bkpClient->concatPhaseParams(parameters.c_str(), KOJSCA_REPLACE)) {
      m_events->debug(1, "Error in setting the phase parameter Reference Time");
      return 0;
    }
    if (!m_bkpClient->updateInfo(false, nullptr)) {
      m_events->Error(kPhaseTag, "[%s]: Failed to updateInfo with JM service.", kPhaseTag);
      return 0;
    }
  }
  const bool completed = m_bkpClient->complete(flag ? KOJS_SUCCESS_FLAGGED : KOJS_SUCCESS,
                                               KOJSF_PHASE, kNoErrorCode, KOPC_NONE);
  if (completed) {
    m_events->Debug(kPhaseTag, "[%lld] back from notifying Job Manager of backup phase success.",
                    id);
  } else {
    m_events->MajorEvent(kEventCompletionRefused, 0, 0);
    m_events->Error(kPhaseTag, "[%lld] failed to notify jm of phase completion", id);
  }
  // The job's work is over whether or not the report got through.
  m_ctrlClient->finishedWorkWithoutExit(kFinishedWorkTimeout);
  return completed ? 1 : 0;
}

int HSMJobManager::NotifyJobManagerJobSuccess() {
  if (!HasClients(kJobTag)) return 0;
  const long long id = m_jobId;
  m_events->Debug(kJobTag, "[%lld] Notifying Job Manager of backup job success.", id);
  const bool completed = m_bkpClient->complete(KOJS_SUCCESS, KOJSF_JOB, kNoErrorCode, KOPC_NONE);
  if (completed) {
    m_events->Debug(kJobTag, "[%lld] back from notifying Job Manager of backup job success.", id);
  } else {
    m_events->MajorEvent(kEventCompletionRefused, 0, 0);
    m_events->Error(kJobTag, "[%lld] failed to notify jm of job completion", id);
  }
  m_ctrlClient->finishedWorkWithoutExit(kFinishedWorkTimeout);
  return completed ? 1 : 0;
}

int HSMJobManager::NotifyJobManagerFailure(int failJob) {
  if (!HasClients(kFailureTag)) return 0;
  const bool completed = m_bkpClient->complete(KOJS_FAILURE, failJob != 0 ? KOJSF_JOB : KOJSF_PHASE,
                                               kNoErrorCode, KOPC_NONE);
  if (!completed) m_events->Error(kFailureTag, "Error notifying Job Manager of failure.");
  m_ctrlClient->finishedWorkWithoutExit(kFinishedWorkTimeout);
  return completed ? 1 : 0;
}

int HSMJobManager::NotifyFailedFiles(int count) {
  if (!HasClients(kFailedFilesTag)) return 0;
  if (m_bkpClient->addBackupFileFailures(static_cast<int64_t>(count))) return 1;
  m_events->MajorEvent(kEventCompletionRefused, 0, 0);
  m_events->Error(kFailedFilesTag, "[%lld] failed to notify jm of job completion",
                  static_cast<long long>(m_jobId));
  return 0;
}

bool HSMJobManager::CheckQuitFlag() {
  if (!HasClients("HSMJobManager::CheckQuitFlag")) return false;
  return m_ctrlClient->checkQuitFlag();
}

int HSMJobManager::FinishedWork() {
  if (!HasClients("HSMJobManager::FinishedWork")) return 0;
  return m_ctrlClient->finishedWork(kFinishedWorkTimeout) ? 1 : 0;
}

int HSMJobManager::SetFilesToXfer(uint64_t count) {
  if (!HasClients("HSMJobManager::SetFilesToXfer")) return 0;
  return m_bkpClient->setFilesToXfer(static_cast<int64_t>(count)) ? 1 : 0;
}

int HSMJobManager::UpdateInfo() {
  if (!HasClients(kUpdateTag)) return 0;
  if (m_bkpClient->updateInfo(false, nullptr)) return 1;
  m_events->Error(kUpdateTag, "[%s]: Failed to updateInfo with JM service.", kUpdateTag);
  return 0;
}

int HSMJobManager::setJobPendingCause(int cause) {
  if (m_bkpClient == nullptr) return 0;
  return m_bkpClient->setPendingCause(cause, nullptr, false, EV_MSG_PENDING_CAUSE, 0, 0, 0, false,
                                      JMGUI_ALERT_NONE, JMPCF_NONE, 0, 0)
             ? 1
             : 0;
}

int HSMJobManager::UpdateTotalStubbedSize(uint64_t& size, bool add) {
  if (!HasClients("HSMJobManager::UpdateTotalStubbedSize")) return 0;
  const bool accepted = add ? m_bkpClient->addStubSize(size) : m_bkpClient->setStubSize(size);
  return accepted ? 1 : 0;
}
