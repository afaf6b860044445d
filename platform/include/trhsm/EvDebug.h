// Logging and job events: EvDebug (a logger), EvEvent (the job's event reporter) and the
// process-wide log writer g_ptrLogWriter.
//
// Each message is one line appended to the file named by KO_LOG_FILE (standard error when unset):
// time, process id, thread id, function tag, message. A line is written with a single write(2) on a
// descriptor opened with O_APPEND, so it is in the file when the call returns and lines of several
// threads or processes never interleave. DebugLvl writes when its level is at most KO_LOG_LEVEL
// (default 1) or is -1; Error, Debug and both debug overloads always write. Errors carry "ERROR" in
// the line. Trailing newlines of a message are dropped and any other '\n' or '\r' is written as the
// two characters "\n" or "\r", so one message is always one line.
// All operations are thread-safe and never throw.
#ifndef TRHSM_EVDEBUG_H_
#define TRHSM_EVDEBUG_H_

#include <cstdarg>
#include <string>

#include "trhsm/trhsm_platform_export.h"

class TRHSM_PLATFORM_EXPORT EvDebug {
 public:
  // The default log. `instance` names a log instance; null (or any name) writes to the default log.
  EvDebug();
  explicit EvDebug(const char* instance);
  EvDebug(const EvDebug&) = default;
  EvDebug& operator=(const EvDebug&) = default;
  virtual ~EvDebug();

  void Debug(const char* tag, const char* format, ...) TRHSM_PRINTF(3, 4);
  void Error(const char* tag, const char* format, ...) TRHSM_PRINTF(3, 4);
  void DebugLvl(const char* tag, int level, const char* format, ...) TRHSM_PRINTF(4, 5);
  void debug(const char* format, ...) TRHSM_PRINTF(2, 3);
  void debug(int level, const char* format, ...) TRHSM_PRINTF(3, 4);

  // True when DebugLvl at `level` would write.
  static bool Admits(int level);
  // The level set by KO_LOG_LEVEL (default 1).
  static int Level();
};

// The job's event reporter: a logger that also posts job events.
class TRHSM_PLATFORM_EXPORT EvEvent : public EvDebug {
 public:
  EvEvent();
  EvEvent(const EvEvent&) = default;
  EvEvent& operator=(const EvEvent&) = default;
  ~EvEvent() override;

  // Posts one job event; the log gets a line holding "event 0x" and the code in upper-case hex.
  void MajorEvent(int code, int arg1, int arg2);
};

// The process-wide shared log writer. Its level is KO_LOG_LEVEL; negative means write nothing.
class TRHSM_PLATFORM_EXPORT KoLogWriter {
 public:
  int GetLevel() const;
  // Writes one line tagged `tag`; `sourceLine` and the two reserved numbers are kept for the
  // caller's context and not printed.
  void Write(const char* tag, int sourceLine, int reserved1, int reserved2, const char* format, ...)
      TRHSM_PRINTF(6, 7);
};

extern TRHSM_PLATFORM_EXPORT KoLogWriter* g_ptrLogWriter;

#endif  // TRHSM_EVDEBUG_H_
