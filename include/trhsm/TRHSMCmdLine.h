// The job argument record and its command-line parser.
#ifndef TRHSM_TRHSMCMDLINE_H_
#define TRHSM_TRHSMCMDLINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "trhsm/trhsm_export.h"

// The job argument record. The job executables declare and allocate it themselves, so the order
// and widths of the members are part of the exported interface: never reorder, resize or insert.
// Character arrays hold NUL-terminated text (an array of N bytes holds at most N-1 characters).
// Members marked job-owned are filled and read by the job only; the library copies them with the
// record and never looks at them.
// A default-constructed record is all clear: numbers 0 (`typeCode` too, so the "-t"/"-f" check is
// off until the caller presets 99), flags false, texts and lists empty. Copying copies every
// member, character arrays byte for byte. Not thread-safe; belongs to the job thread.
struct TRHSM_CMDLINE_ARGS {
  char sName[256] = {};               // "-s"; "default" when empty after parsing
  char vmName[256] = {};              // "-vm"
  char pPath[1024] = {};              // "-p", one trailing separator removed
  char csName[256] = {};              // "-cs"
  int32_t iValue = 0;                 // "-i"
  char dPath[256] = {};               // "-D..." option, one trailing separator removed; required
  char stowhostName[256] = {};        // copy of dPath: the media host of the database reader
  int64_t jobId = 0;                  // "-J..." option: the job identifier
  char appIdText[256] = {};           // "-a", verbatim
  int32_t appIdFirst = 0;             // first colon-separated number of "-a"
  int32_t auxNumber = 0;              // filled by the job; written into reparse data
  int32_t appIdSecond = 0;            // number after the first colon of "-a"
  int32_t typeCode = 0;               // "-t"/"-f": 1, 2 or 4; 99 makes the parse fail
  int32_t typeFlag = 0;               // 1 when typeCode was set to 4, 0 when set to 1
  std::string collectFolder;          // folder of the job's collect files; filled by the job
  std::string jobText2;               // job-owned
  std::string jobText3;               // job-owned
  std::string stubListName;           // stub list of the direct reader; filled by the job
  std::string stubFileName;           // stub collect file of the direct reader; filled by the job
  char jobPath1[1024] = {};           // job-owned
  char jobPath2[1024] = {};           // job-owned
  int32_t jobInt1 = 0;                // job-owned
  int32_t jobInt2 = 0;                // job-owned
  int64_t jobValue1 = 0;              // job-owned
  int64_t jobValue2 = 0;              // job-owned
  int64_t jobValue3 = 0;              // job-owned
  std::vector<std::string> jobList1;  // job-owned
  std::vector<std::string> jobList2;  // job-owned
  int64_t jobValue4 = 0;              // job-owned
  int64_t skipReportSwitch = 0;       // non-zero: skip messages also go to the failure file
  int32_t jobInt3 = 0;                // job-owned
  int32_t clientOsId = 0;             // set by GetClientOsId
  int64_t jobValue5 = 0;              // job-owned
  std::vector<std::string> jobList3;  // job-owned
  std::vector<std::string> jobList4;  // job-owned
  int32_t jobInt4 = 0;                // job-owned
  int32_t jobInt5 = 0;                // job-owned
  int32_t jobInt6 = 0;                // job-owned
  int64_t jobValue6 = 0;              // job-owned
  char jobFlag1 = 0;                  // job-owned
  char jobFlag2 = 0;                  // job-owned
  std::string jtValue;                // "-jt"
  int64_t jobValue7 = 0;              // job-owned
  char jobFlag3 = 0;                  // job-owned
  char jobBuffer[50000] = {};         // job-owned
  long restartValue = 0;              // "-r"; the database reader's item time
  std::string snapJobIdText;          // "-snapJID"; job identifier of a snapshot job
  bool snapFlag = false;              // "-snap" or "-snaptape" given
  std::string hadoopUri;              // "-hadoopURI"
  std::string hadoopUser;             // "-hadoopUser"
  bool caaFlag = false;               // "-caa" given
  long caaValue = 0;                  // value of "-caa"
  bool idx2Flag = false;              // "-idx2" given
  bool adhocFlag = false;             // "-adhoc" given
  bool lustreFlag = false;            // "-lustre" given
  int32_t dctValue = 0;               // "-dct"; "-lustre" sets 13
  bool amrFlag = false;               // "-amr" given
};

// Fills `*args` from the job's command line (`argv[0]` is the program name and is not looked at).
// Options match case-insensitively; "-D..." and "-J..." match on their first two characters. An
// option that takes a value consumes the next argument whatever it looks like; unknown arguments
// are skipped; a later occurrence overrides an earlier one. Numbers are read as atoi/atol/atoll
// read them, except that a 32-bit value beyond its range saturates instead of wrapping.
// Returns 0 on success. Returns -1, without a message, when `args` or `argv` is null or fewer than
// four arguments follow the program name (the record is then untouched); when a value is missing
// after "-dct", "-vm", "-p", "-cs", "-i", "-r", "-snapJID", "-hadoopURI", "-hadoopUser" or "-caa";
// when a value does not fit its character array; when the "-t"/"-f" value is not 1, 2 or 4; when
// `dPath` is empty or `typeCode` is 99 after the scan. A missing value after any other option ends
// the scan. Nothing is rolled back on failure.
// REQUIRES: `dPath` starts empty, `typeCode` is preset to 99 when "-t"/"-f" is mandatory, `sName`
// is preset empty to get "default" (a default-constructed record meets all of this except 99).
// The vector is read up to `argc` entries or its first null entry, whichever comes first.
TRHSM_EXPORT int ProcessCommandLineArguments(int argc, char** argv, TRHSM_CMDLINE_ARGS* args);

// Returns the application type number of the application named by the argument after the first
// "-a" (case-insensitive; argv[0] included in the search), as ApplicationId::getAppType gives it.
// The application-id text is cut to 63 characters; it is empty when there is no "-a" or it stands
// last. Returns 0 when the text yields no type. Needs no record.
TRHSM_EXPORT unsigned long GetAppNumberFromCommandLine(int argc, char** argv);

// Sets `args->clientOsId` to 25 and returns 1; returns 0 and does nothing for a null `args`.
TRHSM_EXPORT int GetClientOsId(TRHSM_CMDLINE_ARGS* args);

#endif  // TRHSM_TRHSMCMDLINE_H_
