// The job-client library: reporting to the job manager.
//
// This stand-in keeps the job manager's side in a folder, the configuration value
// "dJOB_MANAGER_DIR" under the key "Base", so that what one process reports another can read back:
//   <folder>/<jobId>.journal   one line per call made for the job (format in
//                              platform/job_journal_format.h)
//   <folder>/<jobId>.restart   the job's phase parameters, read back as its restart string until
//                              the job or a phase of it completes with a plain success
//   <folder>/<jobId>.quit      while this file exists, checkQuitFlag answers true
// The value "sJOB_MANAGER_REFUSE" under "Base", a comma-separated list of operation names (for
// example "init,complete"; blanks around a name are ignored), makes the named operations refuse:
// they are still written to the journal, then do nothing and answer false. Both values are read
// afresh at every call.
//
// A client learns its job from init (KOBkpJobClient) or Init2 (KOJobCtrlClient). Until one of them
// has succeeded the client has no job: every other call answers false (getRestartString leaves the
// string empty) and is written nowhere. Without a configured folder there is no job manager at all:
// every call, init and Init2 included, answers false and the first such call of a client logs an
// error. A call whose journal line cannot be written answers false too (and logs why), so a report
// is never taken as made when it was not recorded.
//
// Objects are not thread-safe; journal lines of several threads or processes never interleave.
#ifndef TRHSM_KOJOBCLIENT_H_
#define TRHSM_KOJOBCLIENT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "trhsm/trhsm_platform_export.h"

// The enumerations of the job-client interface; the values are what the journal records.
enum KOS_PLATFORMTYPE { KOS_PLATFORM_UNKNOWN = 0, KOS_PLATFORM_LINUX = 4 };
enum ControlFlags { JOB_CTRL_NONE = 0, JOB_CTRL_STANDARD = 1 };
enum KOJobStatus { KOJS_SUCCESS = 1, KOJS_FAILURE = 2, KOJS_SUCCESS_FLAGGED = 3 };
enum KOJobStatusFor { KOJSF_PHASE = 1, KOJSF_JOB = 2 };
enum KOPendingCause { KOPC_NONE = 0 };
// Only KOJSCA_REPLACE is accepted by this stand-in; any other action refuses.
enum KOJobStrCatAction { KOJSCA_APPEND = 1, KOJSCA_REPLACE = 2 };
enum JMRestartLookupType { JMRL_LAST_RUN = 0 };
enum EvMessageType { EV_MSG_PENDING_CAUSE = 300 };
enum JMGUIAlertColorLevel { JMGUI_ALERT_NONE = 0 };
enum JMPendingCauseFlags { JMPCF_NONE = 0 };

// The calls every job client has: the restart string and the pending cause.
class TRHSM_PLATFORM_EXPORT KOJobClient {
 public:
  KOJobClient();
  virtual ~KOJobClient();
  KOJobClient(const KOJobClient&) = delete;
  KOJobClient& operator=(const KOJobClient&) = delete;

  // Fills *restart with the phase parameters that the job stored last (concatPhaseParams with
  // KOJSCA_REPLACE), or "" when none were stored; true when answered. On false (no job, refused,
  // unreadable file, null `restart`) *restart is cleared when it is not null. The out-parameter is
  // not written to the journal: the line is "getRestartString <type>".
  bool getRestartString(std::string* restart, JMRestartLookupType type);

  // Records the job's pending cause; true when recorded. `messageArgs` may be null.
  bool setPendingCause(int cause, const std::vector<std::string>* messageArgs, bool append,
                       EvMessageType messageType, int messageId, int param1, int param2, bool alert,
                       JMGUIAlertColorLevel alertColor, JMPendingCauseFlags flags, int reserved1,
                       int reserved2);

  // The job this client reports for, 0 while it has none.
  int64_t jobId() const { return m_jobId; }

 protected:
  // Writes the call `line` ("<operation> <arguments>") to the job's journal and decides it: true
  // when the call may go ahead, false when the client has no job, no folder is configured, the
  // operation is refused, or the line could not be written. *folder receives the folder.
  bool Record(const char* operation, const std::string& line, std::string* folder);
  // As Record, for init and Init2: the job is `jobId`, which becomes the client's on success.
  bool RecordInit(const char* operation, int64_t jobId, const std::string& line);

 private:
  bool Admit(const char* operation, int64_t jobId, const std::string& line, std::string* folder);

  int64_t m_jobId = 0;
  bool m_reportedUnusable = false;  // the first refusal for want of a folder or a job is logged
};

// The backup job's client: registration, completion, phase parameters and the job's counters.
class TRHSM_PLATFORM_EXPORT KOBkpJobClient : public KOJobClient {
 public:
  KOBkpJobClient();
  ~KOBkpJobClient() override;

  // Registers the job `jobId` (not 0) under `name`; `extra` may be null. True on success, after
  // which the client reports for that job.
  bool init(const char* name, int64_t jobId, int mode, KOS_PLATFORMTYPE platform, bool interactive,
            const char* extra);
  // Reports the completion of the phase or the job (`target`); true when accepted. A plain
  // success (KOJS_SUCCESS, for the phase or the job) ends the job's run: its phase parameters are
  // removed, so that the next run of the job starts from the beginning (false, and logged, when
  // they cannot be). A flagged success (an unfinished phase) and a failure keep them.
  bool complete(KOJobStatus status, KOJobStatusFor target, int errorCode, KOPendingCause cause);
  // With KOJSCA_REPLACE stores `text` as the job's phase parameters, atomically (a reader sees the
  // old text or the new one, never part of it); other actions and a null text refuse.
  bool concatPhaseParams(const char* text, KOJobStrCatAction action);
  // Pushes the job's counters to the job manager; `details` may be null.
  bool updateInfo(bool final, const char* details);
  bool addBackupFileFailures(int64_t count);
  bool setFilesToXfer(int64_t count);
  bool addStubSize(uint64_t size);
  bool setStubSize(uint64_t size);
};

// The job's control channel: the quit question and the end of the work.
class TRHSM_PLATFORM_EXPORT KOJobCtrlClient : public KOJobClient {
 public:
  explicit KOJobCtrlClient(int verboselevel = 0);
  ~KOJobCtrlClient() override;

  // Attaches to the job `jobId` (not 0); `extra` and `reserved` may be null. True on success.
  bool Init2(int64_t jobId, const char* name, ControlFlags flags, KOS_PLATFORMTYPE platform,
             const char* extra, const char* reserved);
  // True while <folder>/<jobId>.quit exists: the job is asked to stop. A quit file that holds a
  // decimal count N answers true only from this client's N-th question on, so that a stop can be
  // asked for at a known point of a running pass.
  bool checkQuitFlag();
  // Tells the job manager that the work is done; true when recorded. Unlike the job manager's own
  // library this stand-in never ends the process, in either call.
  bool finishedWork(int timeoutMs);
  bool finishedWorkWithoutExit(int timeoutMs);

  int verboseLevel() const { return m_verboseLevel; }

 private:
  int m_verboseLevel;
  long m_quitQuestions = 0;  // checkQuitFlag calls recorded so far
};

#endif  // TRHSM_KOJOBCLIENT_H_
