// The restart offset that the job-manager facade reads back from a restart file of the job-client
// stand-in made of the input: the offset must be the number of a last word that follows a word
// "-r" and is a decimal that fits a long, 0 for anything else, and an offset stored again through
// the facade must read back unchanged.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_scratch.h"
#include "trhsm/HSMJobManager.h"
#include "trhsm/KOJobClient.h"

namespace {

using trhsm_fuzz::Check;

constexpr long long kJob = 7;

std::string Folder() { return trhsm_fuzz::ScratchFolder() + "/jm"; }
std::string JobFile(const char* suffix) { return Folder() + "/" + std::to_string(kJob) + suffix; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The offset the text stores, or 0.
long Expected(std::string_view text) {
  std::vector<std::string_view> words;
  for (size_t i = 0; i < text.size();) {
    if (IsBlank(text[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && !IsBlank(text[j])) ++j;
    words.push_back(text.substr(i, j - i));
    i = j;
  }
  if (words.size() < 2 || words[words.size() - 2] != "-r") return 0;
  std::string_view digits = words.back();
  const bool negative = digits[0] == '-';
  if (negative) digits.remove_prefix(1);
  if (digits.empty()) return 0;
  unsigned __int128 magnitude = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > LONG_MAX) return 0;
  }
  const long value = static_cast<long>(magnitude);
  return negative ? -value : value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trhsm_fuzz::PreferMemoryScratch();  // every save syncs the file and its folder
  trhsm_fuzz::QuietLogs("0");
  ::mkdir(Folder().c_str(), 0755);
  const std::string store = trhsm_fuzz::ScratchFolder() + "/registry";
  trhsm_fuzz::WriteWhole(store, "[Base]\ndJOB_MANAGER_DIR=" + Folder() + "\n");
  setenv("KO_REGISTRY", store.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  trhsm_fuzz::WriteWhole(JobFile(".restart"), data, size);
  const long expected = Expected(text);
  {
    KOBkpJobClient client;
    Check(client.init("job", kJob, 1, KOS_PLATFORM_LINUX, false, nullptr), "client init");
    std::string restart = "stale";
    Check(client.getRestartString(&restart, JMRL_LAST_RUN), "getRestartString");
    Check(restart == text, "the restart string differs from the restart file");
  }
  EvEvent events;
  HSMJobManager jm(kJob, "", "job", &events);
  Check(jm.InitJobManager() == 1, "InitJobManager");
  Check(jm.getRestartOffset() == expected, "restart offset differs from the restart text");
  if (expected != 0) {
    // What the facade stores, it reads back.
    long offset = expected;
    Check(jm.NotifyJobManagerPhaseSuccess(offset, true) == 1, "phase success refused");
    Check(offset == expected && jm.getRestartOffset() == expected,
          "stored offset reads back wrong");
    // A finished phase leaves no offset for the next run.
    Check(jm.NotifyJobManagerPhaseSuccess(offset, false) == 1 && jm.getRestartOffset() == 0,
          "a finished phase left its offset behind");
  }
  ::unlink(JobFile(".journal").c_str());
  ::unlink(JobFile(".restart").c_str());
  return 0;
}
