// The job's reporting facade to the job manager: registration, progress, the quit question, the
// restart offset and the end of a phase or of the job, each reduced to one call with a plain
// result.
#ifndef TRHSM_HSMJOBMANAGER_H_
#define TRHSM_HSMJOBMANAGER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "trhsm/EvDebug.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/trhsm_export.h"

// One facade per job, used by the job's thread only (it takes no locks). It owns a backup-job
// client and a job-control client, created by InitJobManager; the event reporter stays the
// caller's and must outlive the facade.
//
// Every operation below other than InitJobManager and setJobPendingCause needs the clients that
// InitJobManager creates: called before them it logs an error and returns 0 (false, offset 0)
// without contacting anybody. A refused report returns 0 too; nothing throws or is retried.
class TRHSM_EXPORT HSMJobManager {
 public:
  // Event codes posted with MajorEvent(code, 0, 0).
  static constexpr int kEventInitFailed = 0x6000005;         // the backup-job client's init
  static constexpr int kEventCtrlInitFailed = 0x6000006;     // the job-control client's Init2
  static constexpr int kEventCompletionRefused = 0x600000C;  // a completion or failed-file report
  // The time, in milliseconds, given to the job manager with the finished-work calls.
  static constexpr int kFinishedWorkTimeout = 120000;

  // Stores the values and contacts nobody. `jobId` 0 means the job is not registered with the job
  // manager. `initExtra` (empty for none) and `initName` are passed unchanged to both clients'
  // initialisations. `events` may be null, in which case InitJobManager fails.
  HSMJobManager(int64_t jobId, const std::string& initExtra, const std::string& initName,
                EvEvent* events);
  // Frees the job-control client, then the backup-job client.
  ~HSMJobManager();
  HSMJobManager(const HSMJobManager&) = delete;
  HSMJobManager& operator=(const HSMJobManager&) = delete;

  // Creates both clients and, unless the job identifier is 0, registers the job with them.
  // Returns 1 when ready, 0 without an event reporter (nothing is created), when a client cannot be
  // created, or when a registration is refused (event 0x6000005 or 0x6000006). Clients created
  // before a failure stay with the facade. Calling it again replaces the clients.
  int InitJobManager();

  // The restart offset that the previous run stored: the number after the last "-r" word of the
  // job's restart string ("... -r 5000" gives 5000, "... -r -20" gives -20). 0 when there is no
  // restart string; 0, with an error logged, when the string does not end in "-r <decimal number>"
  // that fits a long, so a damaged text restarts the job from the beginning instead of from a
  // wrong place.
  long getRestartOffset();

  // Reports the end of a phase. A non-zero `offset` is first stored as the phase parameter text
  // " -r <offset>" and pushed with updateInfo; if either is refused, returns 0 at once, before any
  // completion report. Then completes the phase (status 3 when `flag`, else 1) and tells the
  // job-control client that the work is finished. Returns 1, or 0 when the completion was refused
  // (event 0x600000C); the finished-work call is made either way. `offset` is not changed.
  int NotifyJobManagerPhaseSuccess(long& offset, bool flag);
  // Completes the job as successful, then finishes the work. Returns 1, or 0 when the completion
  // was refused (event 0x600000C).
  int NotifyJobManagerJobSuccess();
  // Completes the job (`failJob` non-zero) or the phase as failed, then finishes the work.
  // Returns 1, or 0 when the completion was refused (logged as an error).
  int NotifyJobManagerFailure(int failJob);
  // Adds `count` failed files to the job's count. Returns 1, or 0 when refused (event 0x600000C).
  int NotifyFailedFiles(int count);
  // True when the job is asked to stop.
  bool CheckQuitFlag();
  // Tells the job-control client that the work is finished; 1 when accepted, else 0.
  int FinishedWork();
  // Sets the number of files to transfer; 1 when accepted, else 0.
  int SetFilesToXfer(uint64_t count);
  // Pushes the job's counters to the job manager; 1 when accepted, else 0 (logged).
  int UpdateInfo();
  // Sets the job's pending cause; 1 when accepted, 0 when refused or there is no backup-job client.
  int setJobPendingCause(int cause);
  // Adds `size` to the job's stubbed size (`add`) or sets it to `size`; 1 when accepted, else 0.
  // `size` is not changed.
  int UpdateTotalStubbedSize(uint64_t& size, bool add);

 private:
  // True when InitJobManager has created both clients; otherwise logs that `operation` was
  // called too early.
  bool HasClients(const char* operation) const;

  int64_t m_jobId;
  std::unique_ptr<KOBkpJobClient> m_bkpClient;
  std::unique_ptr<KOJobCtrlClient> m_ctrlClient;
  EvEvent* m_events;
  std::string m_initName;
  std::string m_initExtra;
};

#endif  // TRHSM_HSMJOBMANAGER_H_
