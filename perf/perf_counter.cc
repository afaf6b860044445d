// TRHSMPerfCounter: the job's named timing counters and their log lines.
#include "trhsm/EvDebug.h"
#include "trhsm/FXString.h"
#include "trhsm/TRHSMPerfCounter.h"

namespace {

constexpr const char kLogTag[] = "void TRHSMPerfCounter::LogAllPerformanceCounters(int)";

}  // namespace

TRHSMPerfCounter::TRHSMPerfCounter()
    : m_names{"DO_STUBBING_QUERY", "SPLIT_STUB_COLLECT", "SETUP_AUTOMOUNT", "TEARDOWN_AUTOMOUNT",
              "FILE_STAT",         "REMOVE_FILE",        "COUNT_LINES",     "END"} {
  CreateAllPerformanceCounters();
}

TRHSMPerfCounter::~TRHSMPerfCounter() = default;

void TRHSMPerfCounter::CreateAllPerformanceCounters() {
  auto_lock lock(&m_mutex, true);
  for (unsigned int i = DO_STUBBING_QUERY; i < END; ++i) {
    m_counters[i] = std::make_unique<CTimeCounter>();
  }
}

CTimeCounter* TRHSMPerfCounter::GetCounter(TRHSMCounters counter) {
  auto_lock lock(&m_mutex, true);
  // find, not operator[]: asking for a counter that does not exist must not add one.
  auto it = m_counters.find(counter);
  return it != m_counters.end() ? it->second.get() : nullptr;
}

void TRHSMPerfCounter::LogAllPerformanceCounters(int threadNumber) {
  auto_lock lock(&m_mutex, true);
  // The constructor made every counter, and none is ever removed: the map holds them all, in order.
  for (const auto& [i, owned] : m_counters) {
    const CTimeCounter& counter = *owned;
    if (counter.GetTotalTime().IsClear() && counter.GetTotalSamples() == 0) continue;
    if (g_ptrLogWriter == nullptr || g_ptrLogWriter->GetLevel() < 0) continue;
    const std::string prefix =
        threadNumber != 0 ? FXString::Format("Thread [%d] ", threadNumber) : std::string();
    const std::string line = FXString::Format("%s%s : %s", prefix.c_str(), m_names[i].c_str(),
                                              counter.AsString().c_str());
    g_ptrLogWriter->Write(kLogTag, __LINE__, 0, 0, "%s", line.c_str());
  }
}
