// The restart offset read from the job client's restart file: only from "-r" and its digits.
#include "fuzz/fuzz_check.h"
#include "trhsm/HSMJobManager.h"

static const int kSetUp = trhsm_fuzz::SetFile(  // the job manager's folder: the scratch one
    "KO_REGISTRY", "registry", "[Base]\ndJOB_MANAGER_DIR=" + trhsm_fuzz::Scratch() + "\n");

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = trhsm_fuzz::Text(data, size);
  const std::string restart = trhsm_fuzz::Write("7.restart", text);
  EvEvent events;
  HSMJobManager jm(7, "", "job", &events);
  FUZZ_CHECK(jm.InitJobManager() == 1);
  long offset = jm.getRestartOffset(), stored = offset;
  const size_t r = text.rfind("-r");
  FUZZ_CHECK(offset == 0 ||
             (r != text.npos &&
              text.find(std::to_string(offset).substr(offset < 0 ? 1 : 0), r + 2) != text.npos &&
              jm.NotifyJobManagerPhaseSuccess(offset, true) == 1 && offset == stored &&
              jm.getRestartOffset() == stored &&
              jm.NotifyJobManagerPhaseSuccess(offset, false) == 1 && jm.getRestartOffset() == 0));
  ::unlink(trhsm_fuzz::Path("7.journal").c_str());
  ::unlink(restart.c_str());
  return 0;
}
