// Per-job timing counters.
#ifndef TRHSM_TRHSMPERFCOUNTER_H_
#define TRHSM_TRHSMPERFCOUNTER_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "trhsm/CTimeCounter.h"
#include "trhsm/FXMutex.h"
#include "trhsm/trhsm_export.h"

// Seven named accumulating timers for one job, and their report in the log.
// Thread-safe: creation, lookup and logging serialise on one recursive mutex. The counters handed
// out are fed by the callers outside that mutex (CTimeCounter is not synchronised, so each counter
// must be fed by one thread at a time, and not while another thread logs). Neither copyable nor
// movable.
class TRHSM_EXPORT TRHSMPerfCounter {
 public:
  // The counters; the values index the names in the log. END marks the end and has no counter.
  // The underlying type is fixed so that any value may be passed to GetCounter.
  enum TRHSMCounters : unsigned int {
    DO_STUBBING_QUERY = 0,
    SPLIT_STUB_COLLECT = 1,
    SETUP_AUTOMOUNT = 2,
    TEARDOWN_AUTOMOUNT = 3,
    FILE_STAT = 4,
    REMOVE_FILE = 5,
    COUNT_LINES = 6,
    END = 7,
  };

  // Every counter from DO_STUBBING_QUERY to COUNT_LINES exists and is empty.
  TRHSMPerfCounter();
  // Destroys every counter; pointers from GetCounter become invalid. Takes no lock.
  // REQUIRES: no other thread uses the object or its counters any more.
  virtual ~TRHSMPerfCounter();

  TRHSMPerfCounter(const TRHSMPerfCounter&) = delete;
  TRHSMPerfCounter& operator=(const TRHSMPerfCounter&) = delete;

  // Creates a fresh, empty counter for every value from DO_STUBBING_QUERY to COUNT_LINES. The
  // constructor calls it; a second call replaces the counters, destroying the earlier ones, and is
  // outside the contract while their pointers are in use.
  void CreateAllPerformanceCounters();

  // The counter for `counter`, owned by this object and valid until it is destroyed; null for END
  // and any other value without a counter.
  CTimeCounter* GetCounter(TRHSMCounters counter);

  // Writes one line through g_ptrLogWriter for each counter that has recorded time or samples, in
  // counter order: "<prefix><NAME> : <summary>", the prefix being "Thread [<threadNumber>] " or,
  // for thread number 0, empty. Writes nothing when the writer's level is negative (or there is no
  // writer). Changes nothing.
  void LogAllPerformanceCounters(int threadNumber);

 private:
  std::vector<std::string> m_names;
  FXMutex m_mutex;
  std::map<unsigned int, std::unique_ptr<CTimeCounter>> m_counters;
};

#endif  // TRHSM_TRHSMPERFCOUNTER_H_
