// Job argument record and command-line parser: the record's layout, one row per option case, the
// end checks, the application type from the command line.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>

#include "trhsm/ApplicationId.h"
#include "trhsm/TRHSMCommon.h"

using Args = TRHSM_CMDLINE_ARGS;
using Words = std::vector<std::string>;
int ParseWords(Words words, Args* args);  // without a null after the last word

namespace {

// Runs `f` on the words without the customary null after the last: ASan catches a read of it.
template <typename F>
auto WithArgv(Words words, F f) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  return f(static_cast<int>(argv.size()), argv.data());
}

// The members the parser fills that are set, "name=value"; a text of over 20 characters: "#length".
std::string Show(const Args& a) {
  std::ostringstream s;
  auto text = [&s](const char* n, const std::string& v) {
    if (!v.empty()) s << ' ' << n << '=' << (v.size() > 20 ? "#" + std::to_string(v.size()) : v);
  };
  auto number = [&s](const char* n, long long v) { v != 0 && s << ' ' << n << '=' << v; };
  text("s", a.sName), text("vm", a.vmName), text("p", a.pPath), text("cs", a.csName);
  number("i", a.iValue), text("D", a.dPath), text("host", a.stowhostName), number("J", a.jobId);
  text("a", a.appIdText), number("a1", a.appIdFirst), number("aux", a.auxNumber);
  number("a2", a.appIdSecond), number("t", a.typeCode), number("tf", a.typeFlag);
  text("jt", a.jtValue), number("r", a.restartValue), text("snapJID", a.snapJobIdText);
  number("snap", a.snapFlag), text("uri", a.hadoopUri), text("user", a.hadoopUser);
  number("caa", a.caaFlag), number("caaV", a.caaValue), number("idx2", a.idx2Flag);
  number("adhoc", a.adhocFlag), number("lustre", a.lustreFlag), number("dct", a.dctValue);
  number("amr", a.amrFlag), number("os", a.clientOsId);
  return s.str().empty() ? "" : s.str().substr(1);
}

// The job executables allocate the record: members keep their order and the texts their widths,
// and a new record is clear whatever its storage held.
TEST(CmdLineArgs, LayoutAndClearRecord) {
  static_assert(sizeof Args::sName + sizeof Args::vmName + sizeof Args::csName +
                        sizeof Args::dPath + sizeof Args::stowhostName + sizeof Args::appIdText ==
                    6 * 256 &&
                sizeof Args::pPath + sizeof Args::jobPath1 + sizeof Args::jobPath2 == 3 * 1024 &&
                sizeof Args::jobBuffer == 50000);
  // clang-format off
#define AT(m) offsetof(Args, m)
  const size_t offsets[] = {AT(sName), AT(vmName), AT(pPath), AT(csName), AT(iValue), AT(dPath), AT(stowhostName),
      AT(jobId), AT(appIdText), AT(appIdFirst), AT(auxNumber), AT(appIdSecond), AT(typeCode), AT(typeFlag),
      AT(collectFolder), AT(jobText2), AT(jobText3), AT(stubListName), AT(stubFileName), AT(jobPath1), AT(jobPath2),
      AT(jobInt1), AT(jobInt2), AT(jobValue1), AT(jobValue2), AT(jobValue3), AT(jobList1), AT(jobList2), AT(jobValue4),
      AT(skipReportSwitch), AT(jobInt3), AT(clientOsId), AT(jobValue5), AT(jobList3), AT(jobList4), AT(jobInt4),
      AT(jobInt5), AT(jobInt6), AT(jobValue6), AT(jobFlag1), AT(jobFlag2), AT(jtValue), AT(jobValue7), AT(jobFlag3),
      AT(jobBuffer), AT(restartValue), AT(snapJobIdText), AT(snapFlag), AT(hadoopUri), AT(hadoopUser), AT(caaFlag),
      AT(caaValue), AT(idx2Flag), AT(adhocFlag), AT(lustreFlag), AT(dctValue), AT(amrFlag)};
#undef AT
  // clang-format on
  EXPECT_EQ(offsets[0], 0u);
  for (size_t i = 1; i < std::size(offsets); ++i) EXPECT_LT(offsets[i - 1], offsets[i]) << i;
  alignas(Args) static unsigned char storage[sizeof(Args)];
  std::memset(storage, 0xAB, sizeof storage);
  Args* args = ::new (storage) Args;
  EXPECT_EQ(Show(*args), "");
  args->~Args();
}

const std::string s255(255, 's'), s256(256, 's'), p1023(1023, 'p'), p1024(1024, 'p');
const std::string kD = "s=default D=d host=d";

// clang-format off
// The words after the program name, the result, the record after it, and what it held before.
struct Row { Words words; int result; std::string record; void (*preset)(Args&) = nullptr; };
std::vector<Row> ParserRows() {
  std::vector<Row> rows = {
      {{"-j", "5", "-D", "/data/"}, 0, "s=default D=/data host=/data J=5"},
      {{"-D", "/data", "-j"}, -1, ""},  // too few arguments: the record is left alone
      {{"-DIRECTORY", "x", "-i", "3"}, 0, "s=default i=3 D=x host=x"},
      {{"-debug", "3", "-job", "12", "-dct", "7"}, 0, "s=default D=3 host=3 J=12 dct=7"},
      {{"-JT", "77", "-D", "d"}, 0, kD + " jt=77"}, {{"-j", "4294967301", "-D", "d"}, 0, kD + " J=4294967301"},
      {{"-dct", "7", "-lustre", "-D", "d"}, 0, kD + " lustre=1 dct=13"}, {{"-lustre", "-dct", "7", "-D", "d"}, 0, kD + " lustre=1 dct=7"},
      {{"-D", "d", "-t", "3", "-s", "n"}, -1, "D=d host=d"}, {{"-f", "4", "-D", "d"}, 0, kD + " t=4 tf=1"},
      {{"-t", "1", "-D", "d"}, 0, kD + " t=1", [](Args& a) { a.typeFlag = 7; }},
      {{"-t", "2", "-D", "d"}, 0, kD + " t=2 tf=7", [](Args& a) { a.typeFlag = 7; }},
      {{"-D", "d", "-s", "n"}, -1, "s=n D=d host=d t=99", [](Args& a) { a.typeCode = 99; }},
      {{"-D", "d", "-t", "2"}, 0, kD + " t=2", [](Args& a) { a.typeCode = 99; }},
      {{"-D", "d", "-t", "4294967297"}, -1, "D=d host=d"}, {{"-D", "d", "-t", "abc"}, -1, "D=d host=d"}, {{"-D", "d", "-f", "-4"}, -1, "D=d host=d"},
      {{"-p", "C:\\dir\\", "-D", "/d//"}, 0, "s=default p=C:\\dir D=/d/ host=/d/"}, {{"-p", "/", "-D", "d"}, 0, kD},
      {{"-p", "//", "-D", "d"}, 0, "s=default p=/ D=d host=d"}, {{"-p", "", "-D", ""}, -1, ""},
      {{"-TRUEUP", "-SNAP", "-HadoopUri", "u", "-snapjid", "x", "-HADOOPUSER", "h", "-D", "d"}, 0, kD + " snapJID=x snap=1 uri=u user=h"},
      {{"-snaptape", "-vm", "-s", "-D", "d"}, 0, "s=default vm=-s D=d host=d snap=1"},
      {{"stray", "-x", "5", "-cs", "c", "-D", "d"}, 0, "s=default cs=c D=d host=d"},
      {{"-D", "d", "-i", "1"}, 0, "s=keep i=1 D=d host=d", [](Args& a) { std::strcpy(a.sName, "keep"); }},
      {{"-s", "n", "-i", "1", "-D"}, -1, "s=n i=1"}, {{"-s", "a", "-s", "b", "-D", "d"}, 0, "s=b D=d host=d"},
      {{"-a", "2:15", "-D", "d"}, 0, kD + " a=2:15 a1=2 a2=15"}, {{"-a", "2:15:7", "-D", "d"}, 0, kD + " a=2:15:7 a1=2 a2=15"},
      {{"-a", "2", "-D", "d"}, 0, kD + " a=2 a1=2 aux=-5 a2=-5", [](Args& a) { a.appIdSecond = a.auxNumber = -5; }},
      {{"-a", "2:", "-D", "d"}, 0, kD + " a=2: a1=2 a2=-5", [](Args& a) { a.appIdSecond = -5; }},
      {{"-a", "", "-D", "d"}, 0, kD + " a1=-5 a2=-5", [](Args& a) { a.appIdFirst = a.appIdSecond = -5; }},
      {{"-a", "::3:4", "-D", "d"}, 0, kD + " a=::3:4 a1=3 a2=4"},
      {{"-i", " +42abc", "-r", "1700000000123", "-caa", "-9", "-idx2", "-adhoc", "-amr", "-D", "d"}, 0,
       "s=default i=42 D=d host=d r=1700000000123 caa=1 caaV=-9 idx2=1 adhoc=1 amr=1"},
      {{"-i", "99999999999", "-dct", "x", "-D", "d"}, 0, "s=default i=2147483647 D=d host=d"},
      {{"-s", s255, "-D", s255, "-a", s255}, 0, "s=#255 D=#255 host=#255 a=#255"},
      {{"-p", p1023, "-D", "d"}, 0, "s=default p=#1023 D=d host=d"}, {{"-D", "d", "-p", p1024}, -1, "D=d host=d"},
      {{"-D", "d", "-i", "1", "-s"}, 0, "s=default i=1 D=d host=d"},
  };
  // Too long a text; a value missing; an option that ends the words stops the scan.
  for (const char* o : {"-s", "-vm", "-cs", "-D", "-a"}) rows.push_back({{"-D", "d", o, s256}, -1, "D=d host=d"});
  for (const char* o : {"-dct", "-vm", "-p", "-cs", "-i", "-r", "-snapJID", "-hadoopURI", "-hadoopUser", "-caa"}) rows.push_back({{"-D", "d", "-s", "n", o}, -1, "s=n D=d host=d"});
  for (const char* o : {"-D", "-s", "-jt", "-J", "-a", "-t", "-f"}) rows.push_back({{"-D", "d", "-s", "n", o}, 0, "s=n D=d host=d"});
  return rows;
}
// clang-format on

TEST(ProcessCommandLineArguments, OptionTable) {
  for (const Row& row : ParserRows()) {
    auto args = std::make_unique<Args>();
    if (row.preset != nullptr) row.preset(*args);
    Words words{"prog"};
    words.insert(words.end(), row.words.begin(), row.words.end());
    EXPECT_EQ(ParseWords(words, args.get()), row.result) << row.words[0] << " .. " << row.record;
    EXPECT_EQ(Show(*args), row.record) << row.words[0];
  }
  // A null entry ends the vector, whatever argc says; null pointers are refused.
  auto args = std::make_unique<Args>();
  std::string w[] = {"prog", "-s", "n", "-D", "d"};
  char* vector[] = {w[0].data(), w[1].data(), w[2].data(), nullptr, w[4].data()};
  EXPECT_EQ(ProcessCommandLineArguments(5, vector, args.get()), -1);
  EXPECT_EQ(ProcessCommandLineArguments(5, nullptr, args.get()), -1);
  vector[3] = w[3].data();
  EXPECT_EQ(ProcessCommandLineArguments(5, vector, nullptr), -1);
  EXPECT_EQ(Show(*args), "");
  EXPECT_EQ(GetClientOsId(args.get()), 1);
  EXPECT_EQ(Show(*args), "os=25");
  EXPECT_EQ(GetClientOsId(nullptr), 0);
}

TEST(GetAppNumberFromCommandLine, TypeOfTheFirstA) {
  // clang-format off
  const std::pair<Words, unsigned long> rows[] = {
      {{"prog", "-D", "d", "-a", "124:15"}, 124}, {{"prog", "-A", "7:1", "-a", "9:1"}, 7},
      {{"-a", "33:1"}, 33},  // the program name is searched too; the value is cut to 63 characters
      {{"prog", "-a", std::string(60, '0') + "124"}, 124}, {{"prog", "-a", std::string(61, '0') + "124"}, 12},
      {{"prog", "-D", "d", "-a"}, 0}, {{}, 0}};
  // clang-format on
  for (const auto& [words, type] : rows)
    EXPECT_EQ(WithArgv(words, GetAppNumberFromCommandLine), type) << words.size();
  EXPECT_EQ(GetAppNumberFromCommandLine(3, nullptr), 0u);
  for (const char* bad : {"", ":15", "12a:1", "-5:1", "99999999999999999999999:1"}) {
    unsigned long type = 77;
    EXPECT_EQ(ApplicationId(bad).getAppType(type), 0) << bad;
    EXPECT_EQ(type, 77u) << bad;
    EXPECT_EQ(WithArgv({"prog", "-a", bad}, GetAppNumberFromCommandLine), 0u) << bad;
  }
}

}  // namespace

int ParseWords(Words words, Args* args) {
  return WithArgv(words,
                  [args](int c, char** v) { return ProcessCommandLineArguments(c, v, args); });
}
