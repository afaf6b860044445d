// Job argument record and command-line parser: record layout, every option row, the end checks,
// the application type from the command line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "trhsm/ApplicationId.h"
#include "trhsm/TRHSMCommon.h"

namespace {

using Args = TRHSM_CMDLINE_ARGS;

// An argument vector of exactly argc entries, without the customary null after the last one, so
// that under ASan a read of argv[argc] fails the test.
class Argv {
 public:
  explicit Argv(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& w : words_) pointers_.push_back(w.data());
  }
  int argc() { return static_cast<int>(pointers_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

int Parse(const std::vector<std::string>& words, Args* args) {
  std::vector<std::string> full{"prog"};
  full.insert(full.end(), words.begin(), words.end());
  Argv argv(full);
  return ProcessCommandLineArguments(argv.argc(), argv.argv(), args);
}

// ---- Layout: the job executables allocate the record, so order and widths are fixed.

static_assert(std::is_standard_layout_v<Args>, "offsetof below needs a standard-layout record");

using Strings = std::vector<std::string>;
// clang-format off
#define ARGS_MEMBERS(X)                                                                         \
  X(sName, char[256]) X(vmName, char[256]) X(pPath, char[1024]) X(csName, char[256])           \
  X(iValue, int32_t) X(dPath, char[256]) X(stowhostName, char[256]) X(jobId, int64_t)          \
  X(appIdText, char[256]) X(appIdFirst, int32_t) X(auxNumber, int32_t) X(appIdSecond, int32_t) \
  X(typeCode, int32_t) X(typeFlag, int32_t) X(collectFolder, std::string)                      \
  X(jobText2, std::string) X(jobText3, std::string) X(stubListName, std::string)               \
  X(stubFileName, std::string) X(jobPath1, char[1024]) X(jobPath2, char[1024])                 \
  X(jobInt1, int32_t) X(jobInt2, int32_t) X(jobValue1, int64_t) X(jobValue2, int64_t)          \
  X(jobValue3, int64_t) X(jobList1, Strings) X(jobList2, Strings) X(jobValue4, int64_t)        \
  X(skipReportSwitch, int64_t) X(jobInt3, int32_t) X(clientOsId, int32_t)                      \
  X(jobValue5, int64_t) X(jobList3, Strings) X(jobList4, Strings) X(jobInt4, int32_t)          \
  X(jobInt5, int32_t) X(jobInt6, int32_t) X(jobValue6, int64_t) X(jobFlag1, char)              \
  X(jobFlag2, char) X(jtValue, std::string) X(jobValue7, int64_t) X(jobFlag3, char)            \
  X(jobBuffer, char[50000]) X(restartValue, long) X(snapJobIdText, std::string)                \
  X(snapFlag, bool) X(hadoopUri, std::string) X(hadoopUser, std::string) X(caaFlag, bool)      \
  X(caaValue, long) X(idx2Flag, bool) X(adhocFlag, bool) X(lustreFlag, bool)                   \
  X(dctValue, int32_t) X(amrFlag, bool)
// clang-format on

#define PIN_TYPE(member, Type) \
  static_assert(std::is_same_v<decltype(Args::member), Type>, #member " has a new type");
ARGS_MEMBERS(PIN_TYPE)
#undef PIN_TYPE

struct Member {
  const char* name;
  size_t offset;
  size_t size;
  bool trivial;  // not a string or list
};

std::vector<Member> MembersInDeclaredOrder() {
#define MEMBER(member, Type)                              \
  {#member, offsetof(Args, member), sizeof(Args::member), \
   !std::is_same_v<Type, std::string> && !std::is_same_v<Type, Strings>},
  return {ARGS_MEMBERS(MEMBER)};
#undef MEMBER
}

TEST(CmdLineArgsLayout, MembersInOrderWithoutOverlapAndCleared) {
  std::vector<Member> members = MembersInDeclaredOrder();
  ASSERT_EQ(members.size(), 57u);
  EXPECT_EQ(members.front().offset, 0u);
  for (size_t i = 1; i < members.size(); ++i) {
    EXPECT_GE(members[i].offset, members[i - 1].offset + members[i - 1].size)
        << members[i].name << " does not follow " << members[i - 1].name;
  }
  EXPECT_LE(members.back().offset + members.back().size, sizeof(Args));

  // The constructor clears every member, whatever the storage held before.
  std::vector<unsigned char> storage(sizeof(Args) + alignof(Args));
  void* raw = storage.data();
  size_t space = storage.size();
  void* aligned = std::align(alignof(Args), sizeof(Args), raw, space);
  ASSERT_NE(aligned, nullptr);
  std::memset(aligned, 0xAB, sizeof(Args));
  Args* args = ::new (aligned) Args;  // placement: the storage is the test's own vector

  for (const Member& m : members) {
    if (!m.trivial) continue;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(args) + m.offset;
    EXPECT_EQ(std::count(bytes, bytes + m.size, 0), static_cast<std::ptrdiff_t>(m.size)) << m.name;
  }
  EXPECT_TRUE(args->collectFolder.empty() && args->jtValue.empty() && args->hadoopUser.empty());
  EXPECT_TRUE(args->jobList1.empty() && args->jobList4.empty());
  args->~Args();
}

// ---- The parser, one row per case.

struct Row {
  std::string label;
  std::vector<std::string> words;  // after the program name
  int result;
  std::function<void(Args&)> preset;  // may be empty
  std::function<void(const Args&)> check;
};

const std::string s255(255, 's'), s256(256, 's'), p1023(1023, 'p'), p1024(1024, 'p');

#define CHECK [](const Args& a)
#define PRESET [](Args & a)

// clang-format off
const Row kRows[] = {
    {"minimal", {"-j", "5", "-D", "/data/"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.jobId, 5); EXPECT_STREQ(a.dPath, "/data"); EXPECT_STREQ(a.stowhostName, "/data");
       EXPECT_STREQ(a.sName, "default"); }},
    {"too few arguments leave the record alone", {"-D", "/data", "-j"}, -1, nullptr, CHECK {
       EXPECT_STREQ(a.dPath, ""); EXPECT_STREQ(a.sName, ""); }},
    {"D prefix", {"-DIRECTORY", "x", "-i", "3"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.dPath, "x"); EXPECT_EQ(a.iValue, 3); }},
    {"-dct is not the D prefix", {"-d", "x", "-dct", "7"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.dPath, "x"); EXPECT_EQ(a.dctValue, 7); }},
    {"words starting -d, -j are prefixes", {"-debug", "3", "-job", "12"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.dPath, "3"); EXPECT_EQ(a.jobId, 12); }},
    {"-jt is not the J prefix", {"-JT", "77", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.jtValue, "77"); EXPECT_EQ(a.jobId, 0); }},
    {"job id above 32 bits kept whole", {"-j", "4294967301", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.jobId, 4294967301LL); }},
    {"-lustre after -dct wins", {"-dct", "7", "-lustre", "-D", "x"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.dctValue, 13); EXPECT_TRUE(a.lustreFlag); }},
    {"-dct after -lustre wins", {"-lustre", "-dct", "7", "-D", "x"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.dctValue, 7); }},
    {"bad type fails at once", {"-D", "x", "-t", "3", "-s", "n"}, -1, nullptr, CHECK {
       EXPECT_EQ(a.typeCode, 0); EXPECT_STREQ(a.sName, ""); }},
    {"-f 4", {"-f", "4", "-D", "x"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.typeCode, 4); EXPECT_EQ(a.typeFlag, 1); }},
    {"-t 1 clears the flag", {"-t", "1", "-D", "x"}, 0, PRESET { a.typeFlag = 7; }, CHECK {
       EXPECT_EQ(a.typeCode, 1); EXPECT_EQ(a.typeFlag, 0); }},
    {"-t 2 keeps the flag", {"-t", "2", "-D", "x"}, 0, PRESET { a.typeFlag = 7; }, CHECK {
       EXPECT_EQ(a.typeCode, 2); EXPECT_EQ(a.typeFlag, 7); }},
    {"type mandatory, missing", {"-D", "x", "-s", "n"}, -1, PRESET { a.typeCode = 99; }, CHECK {
       EXPECT_STREQ(a.sName, "n"); }},
    {"type mandatory, given", {"-D", "x", "-t", "2"}, 0, PRESET { a.typeCode = 99; }, CHECK {
       EXPECT_EQ(a.typeCode, 2); }},
    {"type that would wrap to 1", {"-D", "x", "-t", "4294967297"}, -1, nullptr, nullptr},
    {"type without digits", {"-D", "x", "-t", "abc"}, -1, nullptr, nullptr},
    {"negative type", {"-D", "x", "-f", "-4"}, -1, nullptr, nullptr},
    {"one trailing separator dropped", {"-p", "C:\\dir\\", "-D", "/d//"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.pPath, "C:\\dir"); EXPECT_STREQ(a.dPath, "/d/"); }},
    {"-p / becomes empty", {"-p", "/", "-D", "x"}, 0, nullptr, CHECK { EXPECT_STREQ(a.pPath, ""); }},
    {"-p // becomes /", {"-p", "//", "-D", "x"}, 0, nullptr, CHECK { EXPECT_STREQ(a.pPath, "/"); }},
    {"empty -D value is missing", {"-p", "", "-D", ""}, -1, nullptr, nullptr},
    {"names match case-insensitively",
     {"-TRUEUP", "-SNAP", "-HadoopUri", "u", "-snapjid", "x", "-HADOOPUSER", "h", "-D", "d"}, 0,
     nullptr, CHECK {
       EXPECT_TRUE(a.snapFlag); EXPECT_EQ(a.hadoopUri, "u"); EXPECT_EQ(a.hadoopUser, "h");
       EXPECT_EQ(a.snapJobIdText, "x"); }},
    {"a value may look like an option", {"-vm", "-s", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.vmName, "-s"); EXPECT_STREQ(a.sName, "default"); }},
    {"unknown words skipped", {"stray", "-x", "5", "-cs", "c", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.csName, "c"); }},
    {"preset name kept", {"-D", "d", "-i", "1"}, 0, PRESET { std::strcpy(a.sName, "keep"); },
     CHECK { EXPECT_STREQ(a.sName, "keep"); }},
    {"-D last leaves dPath empty", {"-s", "n", "-i", "1", "-D"}, -1, nullptr, CHECK {
       EXPECT_STREQ(a.sName, "n"); }},
    {"later occurrence wins", {"-s", "a", "-s", "b", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.sName, "b"); }},
    {"-a 2:15", {"-a", "2:15", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.appIdText, "2:15"); EXPECT_EQ(a.appIdFirst, 2); EXPECT_EQ(a.appIdSecond, 15); }},
    {"-a 2:15:7", {"-a", "2:15:7", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.appIdFirst, 2); EXPECT_EQ(a.appIdSecond, 15); }},
    {"-a 2", {"-a", "2", "-D", "d"}, 0, PRESET { a.appIdSecond = a.auxNumber = -5; }, CHECK {
       EXPECT_EQ(a.appIdFirst, 2); EXPECT_EQ(a.appIdSecond, -5); EXPECT_EQ(a.auxNumber, -5); }},
    {"-a 2:", {"-a", "2:", "-D", "d"}, 0, PRESET { a.appIdSecond = -5; }, CHECK {
       EXPECT_EQ(a.appIdFirst, 2); EXPECT_EQ(a.appIdSecond, -5); }},
    {"-a empty", {"-a", "", "-D", "d"}, 0, PRESET { a.appIdFirst = a.appIdSecond = -5; }, CHECK {
       EXPECT_EQ(a.appIdFirst, -5); EXPECT_EQ(a.appIdSecond, -5); }},
    {"-a ::3:4", {"-a", "::3:4", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_STREQ(a.appIdText, "::3:4"); EXPECT_EQ(a.appIdFirst, 3); EXPECT_EQ(a.appIdSecond, 4); }},
    {"numbers and flags",
     {"-i", " +42abc", "-r", "1700000000123", "-caa", "-9", "-idx2", "-adhoc", "-amr", "-D", "d"}, 0,
     nullptr, CHECK {
       EXPECT_EQ(a.iValue, 42); EXPECT_EQ(a.restartValue, 1700000000123L); EXPECT_TRUE(a.caaFlag);
       EXPECT_EQ(a.caaValue, -9); EXPECT_TRUE(a.idx2Flag && a.adhocFlag && a.amrFlag);
       EXPECT_FALSE(a.snapFlag || a.lustreFlag); }},
    {"32-bit number saturates", {"-i", "99999999999", "-dct", "x", "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.iValue, INT32_MAX); EXPECT_EQ(a.dctValue, 0); }},
    {"255 characters fit", {"-s", s255, "-D", s255, "-a", s255}, 0, nullptr, CHECK {
       EXPECT_EQ(a.sName, s255); EXPECT_EQ(a.stowhostName, s255); EXPECT_EQ(a.appIdText, s255); }},
    {"1023 characters of -p fit", {"-p", p1023, "-D", "d"}, 0, nullptr, CHECK {
       EXPECT_EQ(a.pPath, p1023); }},
    {"overlong -p", {"-D", "d", "-p", p1024}, -1, nullptr, CHECK { EXPECT_STREQ(a.pPath, ""); }},
};
// clang-format on

#undef CHECK
#undef PRESET

std::vector<Row> ParserRows() {
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (const char* option : {"-s", "-vm", "-cs", "-D", "-a"}) {
    rows.push_back({std::string("overlong ") + option,
                    {"-D", "d", option, s256},
                    -1,
                    nullptr,
                    [](const Args& a) {
                      EXPECT_STREQ(a.dPath, "d");
                      EXPECT_EQ(a.sName[0] | a.vmName[0] | a.csName[0] | a.appIdText[0], 0);
                    }});
  }
  for (const char* option :
       {"-dct", "-vm", "-p", "-cs", "-i", "-r", "-snapJID", "-hadoopURI", "-hadoopUser", "-caa"}) {
    rows.push_back({option + std::string(" last fails"),
                    {"-D", "d", "-s", "n", option},
                    -1,
                    nullptr,
                    nullptr});
  }
  for (const char* option : {"-D", "-s", "-jt", "-J", "-a", "-t", "-f"}) {
    rows.push_back({option + std::string(" last stops"),
                    {"-D", "d", "-s", "n", option},
                    0,
                    nullptr,
                    [](const Args& a) {
                      EXPECT_STREQ(a.dPath, "d");
                      EXPECT_STREQ(a.sName, "n");
                    }});
  }
  rows.push_back(
      {"-s last, name defaults", {"-D", "d", "-i", "1", "-s"}, 0, nullptr, [](const Args& a) {
         EXPECT_STREQ(a.sName, "default");
       }});
  return rows;
}

TEST(ProcessCommandLineArguments, OptionTable) {
  for (const Row& row : ParserRows()) {
    SCOPED_TRACE(row.label);
    auto args = std::make_unique<Args>();
    if (row.preset) row.preset(*args);
    EXPECT_EQ(Parse(row.words, args.get()), row.result);
    if (row.check) row.check(*args);
  }
}

TEST(ProcessCommandLineArguments, MalformedVectors) {
  auto args = std::make_unique<Args>();
  EXPECT_EQ(Parse({"-D", "d", "-s", "n"}, nullptr), -1);
  EXPECT_EQ(ProcessCommandLineArguments(5, nullptr, args.get()), -1);

  // A null entry ends the vector, whatever argc says.
  std::string words[] = {"prog", "-s", "n", "-D", "d"};
  char* vector[] = {words[0].data(), words[1].data(), words[2].data(), nullptr, words[4].data()};
  EXPECT_EQ(ProcessCommandLineArguments(5, vector, args.get()), -1);
  EXPECT_STREQ(args->sName, "");
}

// ---- Application type and client OS id.

unsigned long AppNumber(const std::vector<std::string>& words) {
  Argv argv(words);
  return GetAppNumberFromCommandLine(argv.argc(), argv.argv());
}

TEST(GetAppNumberFromCommandLine, TakesTheTypeOfTheFirstA) {
  EXPECT_EQ(AppNumber({"prog", "-D", "d", "-a", "124:15"}), 124u);
  EXPECT_EQ(AppNumber({"prog", "-A", "7:1", "-a", "9:1"}), 7u);
  EXPECT_EQ(AppNumber({"-a", "33:1"}), 33u);  // the program name is searched too
  EXPECT_EQ(AppNumber({"prog", "-a", "abc:1"}), 0u);
  EXPECT_EQ(AppNumber({"prog", "-D", "d"}), 0u);
  EXPECT_EQ(AppNumber({"prog", "-D", "d", "-a"}), 0u);
  EXPECT_EQ(AppNumber({}), 0u);
  EXPECT_EQ(GetAppNumberFromCommandLine(3, nullptr), 0u);
}

TEST(GetAppNumberFromCommandLine, TextCutTo63Characters) {
  EXPECT_EQ(AppNumber({"prog", "-a", std::string(60, '0') + "124"}), 124u);
  EXPECT_EQ(AppNumber({"prog", "-a", std::string(61, '0') + "124"}), 12u);
}

TEST(ApplicationId, ReadsTheFirstField) {
  unsigned long type = 77;
  EXPECT_EQ(ApplicationId("124:15").getAppType(type), 1);
  EXPECT_EQ(type, 124u);
  for (const char* bad : {"", ":15", "12a:1", "-5:1", "99999999999999999999999:1"}) {
    type = 77;
    EXPECT_EQ(ApplicationId(bad).getAppType(type), 0) << bad;
    EXPECT_EQ(type, 77u) << bad;
  }
}

TEST(GetClientOsId, Sets25) {
  auto args = std::make_unique<Args>();
  EXPECT_EQ(GetClientOsId(args.get()), 1);
  EXPECT_EQ(args->clientOsId, 25);
  EXPECT_EQ(GetClientOsId(nullptr), 0);
}

}  // namespace
