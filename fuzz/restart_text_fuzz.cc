// The restart offset that the job-manager facade reads from a restart file of the job-client
// stand-in made of the input: the client hands the text back unchanged; an offset other than 0
// comes from the text's words ("-r" and then its digits); stored again, it reads back unchanged,
// and a finished phase leaves none.
#include "fuzz/fuzz_check.h"
#include "trhsm/HSMJobManager.h"
#include "trhsm/KOJobClient.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& folder = trhsm_fuzz::Scratch();  // the job manager's, and the registry's
  trhsm_fuzz::WriteWhole(folder + "/registry", "[Base]\ndJOB_MANAGER_DIR=" + folder + "\n");
  return setenv("KO_REGISTRY", (folder + "/registry").c_str(), 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = trhsm_fuzz::Text(data, size);
  trhsm_fuzz::WriteWhole(trhsm_fuzz::Scratch() + "/7.restart", text);
  {
    KOBkpJobClient client;
    FUZZ_CHECK(client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr));
    std::string restart = "stale";
    FUZZ_CHECK(client.getRestartString(&restart, JMRL_LAST_RUN) && restart == text);
  }
  EvEvent events;
  HSMJobManager jm(7, "", "job", &events);
  FUZZ_CHECK(jm.InitJobManager() == 1);
  long offset = jm.getRestartOffset();
  if (offset != 0) {
    const std::string digits = std::to_string(offset).substr(offset < 0 ? 1 : 0);
    const size_t r = text.rfind("-r");
    FUZZ_CHECK(r != text.npos && text.find(digits, r + 2) != text.npos);
    const long stored = offset;
    FUZZ_CHECK(jm.NotifyJobManagerPhaseSuccess(offset, true) == 1 && offset == stored);
    FUZZ_CHECK(jm.getRestartOffset() == stored);
    FUZZ_CHECK(jm.NotifyJobManagerPhaseSuccess(offset, false) == 1 && jm.getRestartOffset() == 0);
  }
  ::unlink((trhsm_fuzz::Scratch() + "/7.journal").c_str());
  ::unlink((trhsm_fuzz::Scratch() + "/7.restart").c_str());
  return 0;
}
