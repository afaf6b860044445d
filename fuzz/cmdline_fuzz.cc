// The job's command-line parser on an argument vector cut from the input at its NUL bytes (the
// first piece is the program name, "9..." for a job that requires "-t"/"-f"; each argument in an
// allocation of its own). Every text member ends inside its array and is empty or one argument's
// whole text (a path may lose one trailing separator); a short vector is refused untouched.
#include <strings.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "trhsm/ApplicationId.h"
#include "trhsm/TRHSMCmdLine.h"

namespace {

using Args = std::vector<std::vector<char>>;

template <size_t N>
std::string Member(const char (&text)[N]) {
  FUZZ_CHECK(strnlen(text, N) < N);
  return text;
}

auto Fields(const TRHSM_CMDLINE_ARGS& r) {
  return std::make_tuple(Member(r.sName), Member(r.vmName), Member(r.pPath), Member(r.csName),
                         r.iValue, Member(r.dPath), Member(r.stowhostName), r.jobId,
                         Member(r.appIdText), r.appIdFirst, r.auxNumber, r.appIdSecond, r.typeCode,
                         r.typeFlag, r.jtValue, r.restartValue, r.snapJobIdText, r.snapFlag,
                         r.hadoopUri, r.hadoopUser, r.caaFlag, r.caaValue, r.idx2Flag, r.adhocFlag,
                         r.lustreFlag, r.dctValue, r.amrFlag);
}

bool WholeArgument(const std::string& value, const Args& args, bool path) {
  for (const std::vector<char>& arg : args) {
    const std::string text(arg.data());
    if (value.empty() || text == value) return true;
    if (path && text.size() == value.size() + 1 && text.compare(0, value.size(), value) == 0 &&
        (text.back() == '/' || text.back() == '\\')) {
      return true;
    }
  }
  return false;
}

std::unique_ptr<TRHSM_CMDLINE_ARGS> Parse(Args& args, int* result) {
  std::vector<char*> argv;
  for (std::vector<char>& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  auto record = std::make_unique<TRHSM_CMDLINE_ARGS>();
  if (args[0][0] == '9') record->typeCode = 99;
  *result = ProcessCommandLineArguments(static_cast<int>(args.size()), argv.data(), record.get());
  return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Args args(1);
  for (size_t i = 0; i < size; ++i) {
    args.back().push_back(static_cast<char>(data[i]));
    if (data[i] == 0) args.emplace_back();
  }
  args.back().push_back('\0');
  for (std::vector<char>& arg : args) arg.shrink_to_fit();
  const Args original = args;
  int result = 0, again = 0;
  const auto record = Parse(args, &result);
  const TRHSM_CMDLINE_ARGS& r = *record;
  FUZZ_CHECK((result == 0 || result == -1) && args == original);
  FUZZ_CHECK(Fields(r) == Fields(*Parse(args, &again)) && again == result);  // no state kept
  auto fresh = std::make_unique<TRHSM_CMDLINE_ARGS>();
  if (args[0][0] == '9') fresh->typeCode = 99;
  FUZZ_CHECK(args.size() >= 5 || (result == -1 && Fields(r) == Fields(*fresh)));
  for (const std::string& text : {Member(r.vmName), Member(r.csName), Member(r.appIdText),
                                  r.jtValue, r.snapJobIdText, r.hadoopUri, r.hadoopUser}) {
    FUZZ_CHECK(WholeArgument(text, args, false));
  }
  FUZZ_CHECK(WholeArgument(r.pPath, args, true) && WholeArgument(r.dPath, args, true));
  FUZZ_CHECK(std::strcmp(r.dPath, r.stowhostName) == 0);
  FUZZ_CHECK((r.typeCode != 4 || r.typeFlag == 1) && (r.typeCode != 1 || r.typeFlag == 0));
  FUZZ_CHECK(r.typeCode == 0 || r.typeCode == 1 || r.typeCode == 2 || r.typeCode == 4 || r.typeCode == 99);
  if (result == 0) {
    FUZZ_CHECK(r.dPath[0] != '\0' && r.typeCode != 99 &&
               (std::strcmp(r.sName, "default") == 0 || WholeArgument(r.sName, args, false)));
  }
  // The application number is ApplicationId's for the argument after the first "-a", cut to 63.
  std::string appText;
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (strcasecmp(args[i].data(), "-a") == 0) {
      appText.assign(args[i + 1].data(), strnlen(args[i + 1].data(), 63));
      break;
    }
  }
  unsigned long expected = 0;
  ApplicationId(appText).getAppType(expected, nullptr);
  std::vector<char*> argv;
  for (std::vector<char>& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  FUZZ_CHECK(GetAppNumberFromCommandLine(static_cast<int>(args.size()), argv.data()) == expected);
  return 0;
}
