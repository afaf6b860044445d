// The command line parser on NUL-separated arguments (byte 0 even); restart offsets, "-r" (odd).
#include "fuzz/fuzz_check.h"
#include "trhsm/HSMJobManager.h"
#include "trhsm/TRHSMCmdLine.h"

template <size_t N>
static std::string Member(const char (&text)[N]) {
  FUZZ_CHECK(strnlen(text, N) < N);
  return text;
}

void Args(const uint8_t* data, size_t size) {
  std::vector<std::vector<char>> args(1);
  for (size_t i = 0; i < size; ++i)
    if (args.back().push_back(static_cast<char>(data[i])), data[i] == 0) args.emplace_back();
  args.back().push_back('\0');
  std::vector<char*> argv;  // each argument in its own block of exactly its size
  for (std::vector<char>& arg : args) arg.shrink_to_fit(), argv.push_back(arg.data());
  argv.push_back(nullptr);
  const auto original = args;
  auto record = std::make_unique<TRHSM_CMDLINE_ARGS>();  // some 60 KB
  TRHSM_CMDLINE_ARGS& r = *record;
  const int mandatory = r.typeCode = args[0][0] == '9' ? 99 : 0;
  const int result = ProcessCommandLineArguments(args.size(), argv.data(), &r);
  GetAppNumberFromCommandLine(args.size(), argv.data());
  FUZZ_CHECK((result == 0 || result == -1) && args == original);
  auto whole = [&args](const std::string& value, bool path = false) {
    return value.empty() || std::any_of(args.begin(), args.end(), [&](const std::vector<char>& a) {
             const std::string text(a.data());
             return text == value || (path && text.size() == value.size() + 1 &&
                                      text.rfind(value, 0) == 0 && std::strchr("/\\", text.back()));
           });
  };
  for (const std::string& text : {Member(r.vmName), Member(r.csName), Member(r.appIdText),
                                  r.jtValue, r.snapJobIdText, r.hadoopUri, r.hadoopUser})
    FUZZ_CHECK(whole(text) && (args.size() >= 5 || text.empty()));
  FUZZ_CHECK(
      whole(Member(r.pPath), true) && whole(Member(r.dPath), true) &&
      Member(r.stowhostName) == r.dPath &&
      (args.size() >= 5 || (result == -1 && r.dPath[0] == 0 && r.pPath[0] == 0 &&
                            Member(r.sName).empty() && r.typeCode == mandatory && !r.jobId)));
  FUZZ_CHECK(result != 0 || (r.dPath[0] != '\0' && r.typeCode != 99 &&
                             (Member(r.sName) == "default" || whole(r.sName))));
}

static const int kSetUp = trhsm_fuzz::SetFile(  // the job manager's folder: the scratch one
    "KO_REGISTRY", "registry", "[Base]\ndJOB_MANAGER_DIR=" + trhsm_fuzz::Scratch() + "\n");

void Restart(const uint8_t* data, size_t size) {
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
}

FUZZ_PARTS(Args, Restart)
