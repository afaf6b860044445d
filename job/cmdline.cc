// The job's command-line parser: fills the job argument record from argv through one option table.
#include <strings.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "trhsm/ApplicationId.h"
#include "trhsm/TRHSMCmdLine.h"

namespace {

// Longest application-id text handed to ApplicationId.
constexpr size_t kMaxAppIdText = 63;

// atol/atoll: leading blanks and a sign accepted, stops at the first non-digit, no digits gives 0;
// out-of-range values saturate (strtoll's behaviour, where atoll's is undefined).
long long ToInt64(const char* text) { return std::strtoll(text, nullptr, 10); }

long ToLong(const char* text) { return std::strtol(text, nullptr, 10); }

// atoi, except that a value beyond 32 bits saturates: wrapping could turn an invalid type or
// count into a valid one (4294967297 into 1).
int32_t ToInt32(const char* text) {
  const long long value = ToInt64(text);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Copies `value` into `dst` whole, or reports false and leaves `dst` alone: a cut-off path or
// name must never reach a job.
template <size_t N>
[[nodiscard]] bool CopyText(const char* value, char (&dst)[N]) {
  const size_t length = strnlen(value, N);
  if (length >= N) return false;
  std::memcpy(dst, value, length + 1);
  return true;
}

// Removes one trailing '/' or, failing that, one trailing backslash.
template <size_t N>
void StripSeparator(char (&path)[N]) {
  const size_t length = std::strlen(path);
  if (length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\')) path[length - 1] = '\0';
}

// Sets appIdFirst from the first ':'-delimited token (leading colons skipped) and appIdSecond from
// the rest after the colon that ended it, when there is a rest; neither for a text of colons only.
void SplitAppId(TRHSM_CMDLINE_ARGS* args) {
  const char* token = args->appIdText + std::strspn(args->appIdText, ":");
  if (*token == '\0') return;
  args->appIdFirst = ToInt32(token);
  const char* colon = std::strchr(token, ':');
  if (colon != nullptr && colon[1] != '\0') args->appIdSecond = ToInt32(colon + 1);
}

// "-t"/"-f": only the types 1, 2 and 4 exist; 4 and 1 also set typeFlag, 2 leaves it.
bool ApplyType(const char* value, TRHSM_CMDLINE_ARGS* args) {
  const int32_t type = ToInt32(value);
  if (type != 1 && type != 2 && type != 4) return false;
  args->typeCode = type;
  if (type == 1) args->typeFlag = 0;
  if (type == 4) args->typeFlag = 1;
  return true;
}

// What an option does when it stands last, without its value.
enum class OnMissingValue {
  kNoValue,  // the option takes no value
  kFail,     // the parse fails at once
  kStop,     // the scan ends and the end checks run
};

// Applies an option to the record; `value` is null for options without one. False fails the parse.
using Apply = bool (*)(const char* value, TRHSM_CMDLINE_ARGS* args);

struct OptionRow {
  const char* name;  // the whole argument, or its first two characters when `prefix`
  bool prefix;
  OnMissingValue missing;
  Apply apply;
};

// Matched in this order, first match wins: "-dct" and "-jt" come before the "-D"/"-J" prefixes
// that would otherwise take them.
const OptionRow kOptions[] = {
    {"-TrueUp", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS*) { return true; }},
    {"-dct", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->dctValue = ToInt32(v);
       return true;
     }},
    {"-vm", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) { return CopyText(v, a->vmName); }},
    {"-p", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       if (!CopyText(v, a->pPath)) return false;
       StripSeparator(a->pPath);
       return true;
     }},
    {"-cs", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) { return CopyText(v, a->csName); }},
    {"-i", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->iValue = ToInt32(v);
       return true;
     }},
    {"-D", true, OnMissingValue::kStop,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       if (!CopyText(v, a->dPath)) return false;
       StripSeparator(a->dPath);
       return CopyText(a->dPath, a->stowhostName);
     }},
    {"-s", false, OnMissingValue::kStop,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) { return CopyText(v, a->sName); }},
    {"-jt", false, OnMissingValue::kStop,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->jtValue = v;
       return true;
     }},
    // 64 bits: a 32-bit conversion would wrap a large identifier into another job's.
    {"-J", true, OnMissingValue::kStop,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->jobId = ToInt64(v);
       return true;
     }},
    {"-a", false, OnMissingValue::kStop,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       if (!CopyText(v, a->appIdText)) return false;
       SplitAppId(a);
       return true;
     }},
    {"-t", false, OnMissingValue::kStop, ApplyType},
    {"-f", false, OnMissingValue::kStop, ApplyType},
    {"-r", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->restartValue = ToLong(v);
       return true;
     }},
    {"-snaptape", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->snapFlag = true;
       return true;
     }},
    {"-snap", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->snapFlag = true;
       return true;
     }},
    {"-snapJID", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->snapJobIdText = v;
       return true;
     }},
    {"-hadoopURI", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->hadoopUri = v;
       return true;
     }},
    {"-hadoopUser", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->hadoopUser = v;
       return true;
     }},
    {"-caa", false, OnMissingValue::kFail,
     [](const char* v, TRHSM_CMDLINE_ARGS* a) {
       a->caaFlag = true;
       a->caaValue = ToLong(v);
       return true;
     }},
    {"-idx2", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->idx2Flag = true;
       return true;
     }},
    {"-adhoc", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->adhocFlag = true;
       return true;
     }},
    {"-lustre", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->lustreFlag = true;
       a->dctValue = 13;
       return true;
     }},
    {"-amr", false, OnMissingValue::kNoValue,
     [](const char*, TRHSM_CMDLINE_ARGS* a) {
       a->amrFlag = true;
       return true;
     }},
};

bool Matches(const OptionRow& row, const char* arg) {
  return row.prefix ? strncasecmp(arg, row.name, 2) == 0 : strcasecmp(arg, row.name) == 0;
}

const OptionRow* FindOption(const char* arg) {
  for (const OptionRow& row : kOptions) {
    if (Matches(row, arg)) return &row;
  }
  return nullptr;
}

// Entries of the vector that may be read: up to `argc`, and never past a null entry, which would
// end any well-formed vector.
int UsableCount(int argc, char** argv) {
  if (argv == nullptr) return 0;
  int count = 0;
  while (count < argc && argv[count] != nullptr) ++count;
  return count;
}

}  // namespace

int ProcessCommandLineArguments(int argc, char** argv, TRHSM_CMDLINE_ARGS* args) {
  const int count = UsableCount(argc, argv);
  if (args == nullptr || count < 5) return -1;

  for (int i = 1; i < count; ++i) {
    const OptionRow* row = FindOption(argv[i]);
    if (row == nullptr) continue;  // unknown options and stray words are skipped
    const char* value = nullptr;
    if (row->missing != OnMissingValue::kNoValue) {
      if (i + 1 >= count) {
        if (row->missing == OnMissingValue::kFail) return -1;
        break;
      }
      value = argv[++i];
    }
    if (!row->apply(value, args)) return -1;
  }

  if (args->dPath[0] == '\0') return -1;
  if (args->typeCode == 99) return -1;
  if (args->sName[0] == '\0') std::memcpy(args->sName, "default", sizeof("default"));
  return 0;
}

unsigned long GetAppNumberFromCommandLine(int argc, char** argv) {
  const int count = UsableCount(argc, argv);
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (strcasecmp(argv[i], "-a") != 0) continue;
    if (i + 1 < count) text.assign(argv[i + 1], strnlen(argv[i + 1], kMaxAppIdText));
    break;
  }
  unsigned long type = 0;  // stays 0 when the text names no type
  ApplicationId(text).getAppType(type, nullptr);
  return type;
}

int GetClientOsId(TRHSM_CMDLINE_ARGS* args) {
  if (args == nullptr) return 0;
  args->clientOsId = 25;
  return 1;
}
