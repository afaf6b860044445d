// The command line and its record; the job-manager facade's calls as the stand-in journals them.
#include "trhsm/HSMJobManager.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/job_journal_format.h"
#include "testing/alloc_fault.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCmdLine.h"

namespace {

using Args = TRHSM_CMDLINE_ARGS;
using Words = std::vector<std::string>;

// Runs `f` on the words without the customary null after the last: ASan catches a read of it.
template <typename F>
auto WithArgv(Words words, F f) {
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  return f(static_cast<int>(argv.size()), argv.data());
}

int ParseWords(Words words, Args* args) {  // after the program's name
  words.insert(words.begin(), "prog");
  return WithArgv(words,
                  [args](int c, char** v) { return ProcessCommandLineArguments(c, v, args); });
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

const std::string s255(255, 's'), s256(256, 's'), p1023(1023, 'p'), p1024(1024, 'p');
const std::string kD = "s=default D=d host=d";

// clang-format off
static_assert(sizeof Args::sName + sizeof Args::vmName + sizeof Args::csName + sizeof Args::dPath + sizeof Args::stowhostName +
              sizeof Args::appIdText == 6 * 256 && sizeof Args::pPath + sizeof Args::jobPath1 + sizeof Args::jobPath2 == 3 * 1024 &&
              sizeof Args::jobBuffer == 50000 && offsetof(Args, sName) == 0, "the record's layout");
// The words after the program name, the result, the record after it, and what it held before.
struct Row { Words words; int result; std::string record; void (*preset)(Args&) = nullptr; };
std::vector<Row> ParserRows() {
  std::vector<Row> rows = {
      {{"-j", "5", "-D", "/data/"}, 0, "s=default D=/data host=/data J=5"}, {{"-DIRECTORY", "x", "-i", "3"}, 0, "s=default i=3 D=x host=x"},
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
  };
  // Too long a text; a value missing; an option that ends the words stops the scan.
  for (const char* o : {"-s", "-vm", "-cs", "-D", "-a"}) rows.push_back({{"-D", "d", o, s256}, -1, "D=d host=d"});
  for (const char* o : {"-dct", "-vm", "-p", "-cs", "-i", "-r", "-snapJID", "-hadoopURI", "-hadoopUser", "-caa"}) rows.push_back({{"-D", "d", "-s", "n", o}, -1, "s=n D=d host=d"});
  for (const char* o : {"-D", "-s", "-jt", "-J", "-a", "-t", "-f"}) rows.push_back({{"-D", "d", "-s", "n", o}, 0, "s=n D=d host=d"});
  return rows;
}
const std::pair<Words, unsigned long> kAppNumbers[] = {
    {{"prog", "-D", "d", "-a", "124:15"}, 124}, {{"prog", "-A", "7:1", "-a", "9:1"}, 7},
    {{"-a", "33:1"}, 33},  // the program name is searched too; the value is cut to 63 characters
    {{"prog", "-a", std::string(60, '0') + "124"}, 124}, {{"prog", "-a", std::string(61, '0') + "124"}, 12},
    {{"prog", "-D", "d", "-a"}, 0}, {{}, 0}, {{"prog", "-a", ""}, 0}, {{"prog", "-a", ":15"}, 0}, {{"prog", "-a", "12a:1"}, 0},
    {{"prog", "-a", "-5:1"}, 0}, {{"prog", "-a", "99999999999999999999999:1"}, 0}};
// clang-format on

TEST(ProcessCommandLineArguments, OptionTableAndAppNumber) {
  alignas(Args) static unsigned char storage[sizeof(Args)];  // a new record is clear
  std::memset(storage, 0xAB, sizeof storage);
  EXPECT_EQ(Show(*::new (storage) Args), "");
  for (const Row& row : ParserRows()) {
    auto args = std::make_unique<Args>();
    if (row.preset != nullptr) row.preset(*args);
    EXPECT_EQ(ParseWords(row.words, args.get()), row.result)
        << row.words[0] << " .. " << row.record;
    EXPECT_EQ(Show(*args), row.record) << row.words[0];
  }
  // A null entry ends the vector, whatever argc says; null pointers are refused.
  auto args = std::make_unique<Args>();
  std::string w[] = {"prog", "-s", "n", "-D", "d"};
  char* vector[] = {w[0].data(), w[1].data(), w[2].data(), nullptr, w[4].data()};
  EXPECT_EQ(ProcessCommandLineArguments(5, vector, args.get()) +
                ProcessCommandLineArguments(5, nullptr, args.get()),
            -2);
  vector[3] = w[3].data();
  EXPECT_EQ(ProcessCommandLineArguments(5, vector, nullptr) * 10 + GetClientOsId(nullptr), -10);
  EXPECT_EQ(Show(*args), "");
  EXPECT_EQ(GetClientOsId(args.get()), 1);
  EXPECT_EQ(Show(*args), "os=25");
  for (const auto& [words, type] : kAppNumbers)
    EXPECT_EQ(WithArgv(words, GetAppNumberFromCommandLine), type) << words.size();
  EXPECT_EQ(GetAppNumberFromCommandLine(3, nullptr), 0u);
}

namespace jj = trhsm::job_journal;
using trhsm_test::WriteFile;

class JobManagerTest : public ::testing::Test {
 protected:
  JobManagerTest() { std::filesystem::create_directory(folder_), Refuse(""); }
  void Refuse(const std::string& operations) {
    WriteFile(store_,
              "[Base]\ndJOB_MANAGER_DIR=" + folder_ + "\nsJOB_MANAGER_REFUSE=" + operations);
  }
  std::string JobFile(const char* suffix) const { return jj::JobFile(folder_, 7, suffix); }
  std::string TakeJournal() const {  // job 7's calls, one a line, forgotten once read
    const std::string text = trhsm_test::ReadFile(JobFile(jj::kJournalSuffix));
    std::filesystem::remove(JobFile(jj::kJournalSuffix));
    return text;
  }
  trhsm_test::ScratchDir dir_;
  const std::string folder_ = dir_.File("jm"), store_ = dir_.File("registry");
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", store_};
  trhsm_test::LogCapture log_;
  EvEvent events_;
};

const std::string kFinished = "\nfinishedWorkWithoutExit 120000\n",
                  kPhase = "concatPhaseParams \" -r 5000\" 2\nupdateInfo 0 -\ncomplete 3 1 0 0" +
                           kFinished,
                  kInit = "init \"job\" 7 1 4 0 \"extra\"\nInit2 7 \"job\" 1 4 \"extra\" -\n";

int PhaseWithOffset(HSMJobManager& jm) {  // the offset passed in stays as it was
  long offset = 5000;
  return jm.NotifyJobManagerPhaseSuccess(offset, true) + (offset == 5000 ? 0 : 10);
}

// Before InitJobManager `tag` logs "called before" ("": silent; null: skipped); then the accepted
// run's journal and message; with `refuse` refused, the lines kept and the message ("event 0x..").
#define CALL(expr) [](HSMJobManager& jm) { return static_cast<int>(expr); }
// clang-format off
struct Report { const char* refuse; int (*call)(HSMJobManager&); const char* tag; std::string journal; const char* said; int keptLines; const char* refused; };
const Report kReports[] = {
    {"init", CALL(jm.InitJobManager()), nullptr, kInit, "HSMJobManager::InitJobManager: [7] going to initialize with jobmgr", 1, "event 0x6000005 [7] failed to init with JM"},
    {"Init2", CALL(jm.InitJobManager()), nullptr, kInit, "[7] going to initialize with jobmgr control", 2, "event 0x6000006 [7] failed to init JM control object"},
    {"addStubSize", [](HSMJobManager& jm) { uint64_t s = UINT64_MAX; return jm.UpdateTotalStubbedSize(s, true) + (s == UINT64_MAX ? 0 : 10); }, "UpdateTotalStubbedSize", "addStubSize 18446744073709551615\n", "", 1, ""},
    {"setStubSize", [](HSMJobManager& jm) { uint64_t s = 100; return jm.UpdateTotalStubbedSize(s, false); }, "UpdateTotalStubbedSize", "setStubSize 100\n", "", 1, ""},
    {"setFilesToXfer", CALL(jm.SetFilesToXfer(9000000000ULL)), "SetFilesToXfer", "setFilesToXfer 9000000000\n", "", 1, ""},
    {"addBackupFileFailures", CALL(jm.NotifyFailedFiles(-2)), "NotifyFailedFiles", "addBackupFileFailures -2\n", "", 1, "event 0x600000C HSMJobManager::NotifyFailedFiles: [7] failed to notify jm of job completion"},
    {"setPendingCause", CALL(jm.setJobPendingCause(12)), "", "setPendingCause 12 - 0 300 0 0 0 0 0 0 0 0\n", "", 1, ""},
    {"updateInfo", CALL(jm.UpdateInfo()), "UpdateInfo", "updateInfo 0 -\n", "", 1, "HSMJobManager::UpdateInfo: [HSMJobManager::UpdateInfo]: Failed to updateInfo with JM service."},
    {"finishedWork", CALL(jm.FinishedWork()), "FinishedWork", "finishedWork 120000\n", "", 1, ""},
    {"checkQuitFlag", CALL(jm.CheckQuitFlag()), "CheckQuitFlag", "checkQuitFlag\n", "", 1, ""},
    {"complete", CALL(jm.NotifyJobManagerJobSuccess()), "NotifyJobManagerJobSuccess", "complete 1 2 0 0" + kFinished, "[7] Notifying Job Manager of backup job success.", 2, "event 0x600000C HSMJobManager::NotifyJobManagerJobSuccess: [7] failed to notify jm of job completion"},
    {"complete", CALL(jm.NotifyJobManagerFailure(7)), "NotifyJobManagerFailure", "complete 2 2 0 0" + kFinished, "", 2, "Error notifying Job Manager of failure."},
    {"complete", [](HSMJobManager& jm) { long offset = 0; return jm.NotifyJobManagerPhaseSuccess(offset, false); }, "NotifyJobManagerPhaseSuccess", "complete 1 1 0 0" + kFinished, "[7] back from notifying Job Manager of backup phase success.", 2, "event 0x600000C [7] failed to notify jm of phase completion"},
    {"concatPhaseParams", PhaseWithOffset, "NotifyJobManagerPhaseSuccess", kPhase, "phase parameter(s) string =  -r 5000", 1, "Error in setting the phase parameter Reference Time"},
    {"updateInfo", PhaseWithOffset, "NotifyJobManagerPhaseSuccess", kPhase, "", 2, "[HSMJobManager::NotifyJobManagerPhaseSuccess]: Failed to updateInfo with JM service."},
};
// clang-format on
#undef CALL

TEST_F(JobManagerTest, ReportsBeforeInitAcceptedAndRefused) {
  WriteFile(JobFile(jj::kQuitSuffix), "");
  HSMJobManager unready(7, "extra", "job", &events_), noEvents(7, "extra", "job", nullptr);
  EXPECT_EQ(noEvents.InitJobManager(), 0);  // no event reporter: no clients
  for (const Report& r : kReports) {
    for (HSMJobManager* jm : {&unready, &noEvents}) {
      if (r.tag == nullptr) break;
      log_.Clear();
      const std::string said =
          "HSMJobManager::" + std::string(r.tag) + ": [7] called before InitJobManager";
      EXPECT_TRUE(r.call(*jm) == 0 && (*r.tag == '\0' || log_.Contains(said)))
          << r.journal << log_.Text();
    }
  }
  EXPECT_EQ(TakeJournal(), "") << "a refused report reached the job manager";
  HSMJobManager jm(7, "extra", "job", &events_);
  for (const Report& r : kReports) {
    SCOPED_TRACE(r.journal);
    ASSERT_EQ(jm.InitJobManager(), 1);
    TakeJournal();
    log_.Clear();
    EXPECT_EQ(r.call(jm), 1);
    EXPECT_EQ(TakeJournal(), r.journal);
    EXPECT_TRUE(log_.Contains(r.said) && !log_.Contains("ERROR") && !log_.Contains("event 0x"));
    Refuse(r.refuse);
    log_.Clear();
    EXPECT_EQ(r.call(jm), 0);
    const size_t kept = r.journal.find('\n', r.keptLines == 1 ? 0 : r.journal.find('\n') + 1);
    EXPECT_EQ(TakeJournal(), r.journal.substr(0, kept + 1));
    const std::string refused = r.refused,
                      event = refused.substr(0, refused.rfind("event ", 0) == 0 ? 15 : 0);
    EXPECT_TRUE(log_.Contains("event 0x") == !event.empty() && log_.Contains(event) &&
                log_.Contains(refused.substr(event.empty() ? 0 : 16)) &&
                !log_.Contains("back from notifying"))
        << log_.Text();
    Refuse("");
  }
}

// A phase's offset reaches the restarted run. Only "-r" and a long as the last words give one.
TEST_F(JobManagerTest, RestartOffsetsAndOutOfMemory) {
  trhsm_test::ScopedEnv level("KO_LOG_LEVEL", "2");
  HSMJobManager outside(0, "", "job", &events_);  // outside the job manager: registers nowhere
  EXPECT_EQ(outside.InitJobManager(), 1);
  EXPECT_EQ(outside.setJobPendingCause(5) + outside.SetFilesToXfer(3), 0);
  EXPECT_TRUE(trhsm_test::ListFolder(folder_).empty());
  log_.Clear();
  HSMJobManager jm(7, "", "job", &events_);
  long offset = 5000;
  EXPECT_EQ((std::vector<long>{jm.InitJobManager(), jm.getRestartOffset(),  // in this order
                               jm.NotifyJobManagerPhaseSuccess(offset, true), jm.getRestartOffset(),
                               jm.NotifyJobManagerJobSuccess(), jm.getRestartOffset()}),
            (std::vector<long>{1, 0, 1, 5000, 1, 0}));
  EXPECT_EQ(TakeJournal().substr(0, 43), "init \"job\" 7 1 4 0 -\nInit2 7 \"job\" 1 4 - -\n");
  EXPECT_FALSE(log_.Contains("ERROR"));
  // clang-format off
  const struct { std::string text; long offset; const char* message; } cases[] = {
      {"-j 7 -r 5000", 5000, "HSMJobManager::getRestartOffset: Got restart string -j 7 -r 5000"},
      {"-r\t42\n", 42, "Sending offset 42"}, {"x -r -20", -20, "Sending negative offset 20"},
      {"-r5000", 0, "restart string \"-r5000\" holds no restart offset (the last word does not follow \"-r\"): starting from offset 0"},
      {"-r -", 0, "(no digits after \"-r\")"}, {"x -r abc", 0, "(\"abc\" is not a decimal number)"}, {"-r +5", 0, "not a decimal"},
      {"-r 9223372036854775808", 0, "(\"9223372036854775808\" does not fit a long)"}, {"-r 5000 -j 7", 0, "does not follow"},
  };
  // clang-format on
  for (const auto& c : cases) {
    WriteFile(JobFile(jj::kRestartSuffix), c.text);
    log_.Clear();
    EXPECT_EQ(jm.getRestartOffset(), c.offset) << c.text;
    EXPECT_TRUE(log_.Contains(c.message)) << log_.Text();
    EXPECT_EQ(log_.Contains("ERROR"), log_.Contains("holds no restart offset")) << log_.Text();
  }
  Refuse("getRestartString");
  EXPECT_EQ(jm.getRestartOffset(), 0);
  EXPECT_TRUE(log_.Contains("[7] the restart string could not be read: starting from offset 0"));
  // Out of memory for either client: the init fails naming it; a facade with one client refuses.
  std::string failed;
  for (long n = 1; n < 100; ++n) {
    HSMJobManager jm(0, "", "job", &events_);
    log_.Clear();
    int rc, fired;
    {
      trhsm_test::ScopedAllocFault oom(n);
      rc = jm.InitJobManager(), fired = oom.fired();
    }
    ASSERT_EQ(rc, fired ? 0 : 1) << n;
    if (!fired) break;
    for (const std::string client : {"KOBkpJobClient", "KOJobCtrlClient"})
      if (log_.Contains("InitJobManager: new " + client + "() failed")) failed += client;
    long offset = 5;
    EXPECT_EQ(jm.getRestartOffset() + jm.NotifyJobManagerPhaseSuccess(offset, false), 0);
    EXPECT_TRUE(log_.Contains("HSMJobManager::getRestartOffset: [0] called before InitJobManager"));
  }
  EXPECT_PRED2(trhsm_test::Contains, failed, "KOBkpJobClientKOJobCtrlClient");
}

}  // namespace
