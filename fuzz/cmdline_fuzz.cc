// The job's command-line parser and GetAppNumberFromCommandLine on an argument vector cut from the
// input at its NUL bytes (the first piece is the program name; each argument sits in an allocation
// of its own, so that ASan sees a read past its terminator). Checks: every text member stays
// terminated inside its array and, when filled, holds an argument's text whole; dPath and its copy
// agree; the type and its flag agree; a success meets the end checks; a short vector leaves the
// record untouched; the arguments are not written; a second parse gives the same record.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "trhsm/ApplicationId.h"
#include "trhsm/TRHSMCmdLine.h"

namespace {

using Args = std::vector<std::vector<char>>;

template <size_t N>
bool Terminated(const char (&text)[N]) {
  return strnlen(text, N) < N;
}

// True when `value` is empty, or is an argument's whole text, or that text with one trailing
// path separator removed (when `stripped`).
bool FromArgument(const std::string& value, const Args& args, bool stripped) {
  if (value.empty()) return true;
  for (const std::vector<char>& arg : args) {
    const std::string text(arg.data());
    if (text == value) return true;
    if (stripped && text.size() == value.size() + 1 && text.compare(0, value.size(), value) == 0 &&
        (text.back() == '/' || text.back() == '\\')) {
      return true;
    }
  }
  return false;
}

bool SameRecord(const TRHSM_CMDLINE_ARGS& a, const TRHSM_CMDLINE_ARGS& b) {
  return std::memcmp(a.sName, b.sName, sizeof a.sName) == 0 &&
         std::memcmp(a.vmName, b.vmName, sizeof a.vmName) == 0 &&
         std::memcmp(a.pPath, b.pPath, sizeof a.pPath) == 0 &&
         std::memcmp(a.csName, b.csName, sizeof a.csName) == 0 && a.iValue == b.iValue &&
         std::memcmp(a.dPath, b.dPath, sizeof a.dPath) == 0 &&
         std::memcmp(a.stowhostName, b.stowhostName, sizeof a.stowhostName) == 0 &&
         a.jobId == b.jobId && std::memcmp(a.appIdText, b.appIdText, sizeof a.appIdText) == 0 &&
         a.appIdFirst == b.appIdFirst && a.auxNumber == b.auxNumber &&
         a.appIdSecond == b.appIdSecond && a.typeCode == b.typeCode && a.typeFlag == b.typeFlag &&
         a.jtValue == b.jtValue && a.restartValue == b.restartValue &&
         a.snapJobIdText == b.snapJobIdText && a.snapFlag == b.snapFlag &&
         a.hadoopUri == b.hadoopUri && a.hadoopUser == b.hadoopUser && a.caaFlag == b.caaFlag &&
         a.caaValue == b.caaValue && a.idx2Flag == b.idx2Flag && a.adhocFlag == b.adhocFlag &&
         a.lustreFlag == b.lustreFlag && a.dctValue == b.dctValue && a.amrFlag == b.amrFlag;
}

std::vector<char*> Vector(Args& args) {
  std::vector<char*> argv;
  for (std::vector<char>& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// The record a job prepares: all clear, and "-t"/"-f" made mandatory when `typeRequired`.
void Prepare(TRHSM_CMDLINE_ARGS* record, bool typeRequired) {
  if (typeRequired) record->typeCode = 99;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Args args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.back().push_back('\0');
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  args.back().push_back('\0');
  for (std::vector<char>& arg : args) arg.shrink_to_fit();
  const Args original = args;
  // A program name starting with '9' stands for a job that requires "-t"/"-f".
  const bool typeRequired = args[0][0] == '9';

  std::vector<char*> argv = Vector(args);
  const int argc = static_cast<int>(args.size());
  auto record = std::make_unique<TRHSM_CMDLINE_ARGS>();
  Prepare(record.get(), typeRequired);
  const int result = ProcessCommandLineArguments(argc, argv.data(), record.get());
  TRHSM_FUZZ_CHECK(result == 0 || result == -1);
  TRHSM_FUZZ_CHECK(args == original);

  if (argc < 5) {
    auto untouched = std::make_unique<TRHSM_CMDLINE_ARGS>();
    Prepare(untouched.get(), typeRequired);
    TRHSM_FUZZ_CHECK(result == -1 && SameRecord(*record, *untouched));
  }

  const TRHSM_CMDLINE_ARGS& r = *record;
  TRHSM_FUZZ_CHECK(Terminated(r.sName) && Terminated(r.vmName) && Terminated(r.pPath) &&
                   Terminated(r.csName) && Terminated(r.dPath) && Terminated(r.stowhostName) &&
                   Terminated(r.appIdText));
  TRHSM_FUZZ_CHECK(std::strcmp(r.dPath, r.stowhostName) == 0);
  TRHSM_FUZZ_CHECK(FromArgument(r.vmName, args, false) && FromArgument(r.csName, args, false) &&
                   FromArgument(r.appIdText, args, false) && FromArgument(r.jtValue, args, false) &&
                   FromArgument(r.snapJobIdText, args, false) &&
                   FromArgument(r.hadoopUri, args, false) &&
                   FromArgument(r.hadoopUser, args, false) && FromArgument(r.pPath, args, true) &&
                   FromArgument(r.dPath, args, true));
  TRHSM_FUZZ_CHECK(r.typeCode != 4 || r.typeFlag == 1);
  TRHSM_FUZZ_CHECK(r.typeCode != 1 || r.typeFlag == 0);
  TRHSM_FUZZ_CHECK(r.typeCode == 0 || r.typeCode == 1 || r.typeCode == 2 || r.typeCode == 4 ||
                   r.typeCode == 99);
  if (result == 0) {
    TRHSM_FUZZ_CHECK(r.dPath[0] != '\0' && r.typeCode != 99 && r.sName[0] != '\0');
    TRHSM_FUZZ_CHECK(std::strcmp(r.sName, "default") == 0 || FromArgument(r.sName, args, false));
  }

  // No state kept between calls: the same vector parses to the same record.
  auto second = std::make_unique<TRHSM_CMDLINE_ARGS>();
  Prepare(second.get(), typeRequired);
  TRHSM_FUZZ_CHECK(ProcessCommandLineArguments(argc, argv.data(), second.get()) == result);
  TRHSM_FUZZ_CHECK(SameRecord(*record, *second));

  // The application number is what ApplicationId says about the argument after the first "-a",
  // cut to 63 bytes.
  std::string appText;
  for (size_t i = 0; i < args.size(); ++i) {
    if (strcasecmp(args[i].data(), "-a") != 0) continue;
    if (i + 1 < args.size()) appText.assign(args[i + 1].data(), strnlen(args[i + 1].data(), 63));
    break;
  }
  unsigned long expected = 0;
  ApplicationId(appText).getAppType(expected, nullptr);
  TRHSM_FUZZ_CHECK(GetAppNumberFromCommandLine(argc, argv.data()) == expected);
  TRHSM_FUZZ_CHECK(args == original);
  return 0;
}
