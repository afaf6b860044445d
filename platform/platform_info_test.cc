// Tests of the configuration store: parsing, lookups, client list and directory queries.
#include "trhsm/KOPlatformInfo.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace {

using trhsm_test::ScopedEnv;
using trhsm_test::WriteFile;

class PlatformInfoTest : public ::testing::Test {
 protected:
  PlatformInfoTest() : store_(dir_.File("registry")), env_("KO_REGISTRY", store_) {}

  std::string Get(const char* key, const char* name) {
    std::string value = "untouched";
    return KOPlatformInfo().getString(key, name, &value) ? value : "<absent>";
  }

  trhsm_test::ScratchDir dir_;
  std::string store_;
  ScopedEnv env_;
};

TEST_F(PlatformInfoTest, ValuesAreKeptExactly) {
  trhsm_test::LogCapture log;
  WriteFile(store_,
            "orphan=before any key\n"
            "# comment=ignored\n"
            "\n"
            "[Base]\n"
            "dVELORA_HOME=/opt/velora\n"
            "sEXPR=a=b  \n"
            "no equals sign here\n"
            "sCRLF=value\r\n"
            "#sHIDDEN=x\n"
            "sEMPTY=\n"
            "sTWICE=first\n"
            "[Other]\n"
            "sLAST=no newline at end");
  EXPECT_EQ(Get("Base", "dVELORA_HOME"), "/opt/velora");
  EXPECT_EQ(Get("Base", "sEXPR"), "a=b  ");
  EXPECT_EQ(Get("Base", "sCRLF"), "value");
  EXPECT_EQ(Get("Base", "sEMPTY"), "");
  EXPECT_EQ(Get("Base", "sHIDDEN"), "<absent>");
  EXPECT_EQ(Get("Base", "orphan"), "<absent>");
  EXPECT_EQ(Get("Base", "no equals sign here"), "<absent>");
  EXPECT_EQ(Get("Base", "sLAST"), "<absent>");
  EXPECT_EQ(Get("Other", "sLAST"), "no newline at end");
  EXPECT_EQ(Get("Other", "dVELORA_HOME"), "<absent>");
  EXPECT_EQ(Get("base", "dVELORA_HOME"), "<absent>");
  // Each line of no known form is logged once, with its number, however often the store is read.
  const std::string text = log.Text();
  for (const char* line : {" line 1 ignored: a value before", " line 7 ignored: neither"}) {
    const size_t at = text.find(store_ + line);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(store_ + line, at + 1), std::string::npos) << text;
  }
}

TEST_F(PlatformInfoTest, ReopenedKeyAddsAndLaterValueWins) {
  WriteFile(store_,
            "[Base]\nsA=1\nsB=old\n"
            "[Machines/c]\nsX=y\n"
            "[Base]\nsB=new\n"
            "[Broken\nsB=lost\n");
  EXPECT_EQ(Get("Base", "sA"), "1");
  EXPECT_EQ(Get("Base", "sB"), "new");
}

TEST_F(PlatformInfoTest, MissingStoreIsEmpty) {
  EXPECT_EQ(Get("Base", "dVELORA_HOME"), "<absent>");
  std::vector<std::string> clients = {"stale"};
  EXPECT_EQ(KOPlatformInfo().getClientList(clients), 0);
  EXPECT_TRUE(clients.empty());
  EXPECT_EQ(KOPI_Base().getVeloraDirectory(), nullptr);

  unsetenv("KO_REGISTRY");
  EXPECT_EQ(Get("Base", "dVELORA_HOME"), "<absent>");
}

TEST_F(PlatformInfoTest, ChangesAreSeenByTheNextQuestion) {
  WriteFile(store_, "[Base]\nsFOCUS_CLIENT=aaaa\n");
  KOPI_Focus focus;
  ASSERT_NE(focus.getFocusClientName(false), nullptr);
  EXPECT_STREQ(focus.getFocusClientName(false), "aaaa");
  // Same size, same inode, probably the same timestamp: only a fresh read sees it.
  WriteFile(store_, "[Base]\nsFOCUS_CLIENT=bbbb\n");
  EXPECT_STREQ(focus.getFocusClientName(false), "bbbb");
  WriteFile(store_, "[Base]\n");
  EXPECT_EQ(focus.getFocusClientName(false), nullptr);
}

TEST_F(PlatformInfoTest, ClientListIsDistinctInFirstAppearanceOrder) {
  WriteFile(store_,
            "[Machines/beta]\n[Base]\n[Machines/alpha/TSLY]\n[Machines/beta/TSLY]\n"
            "[Machines/]\n[Machines]\n[MachinesX/gamma]\n[machines/delta]\n[Machines/alpha]\n");
  std::vector<std::string> clients = {"stale"};
  EXPECT_EQ(KOPlatformInfo().getClientList(clients), 2);
  EXPECT_EQ(clients, (std::vector<std::string>{"beta", "alpha"}));
}

TEST_F(PlatformInfoTest, ClientQueries) {
  WriteFile(store_,
            "[Machines/clientA]\nsHOST_NAME=host.example\ndJOB_RESULTS_DIR=/var/jobs\n"
            "[Machines/clientB]\n");
  std::string host = "stale";
  EXPECT_NE(KOPlatformInfo().getClientHostName("clientA", host), 0);
  EXPECT_EQ(host, "host.example");
  EXPECT_EQ(KOPlatformInfo().getClientHostName("clientB", host), 0);
  EXPECT_EQ(host, "");
  EXPECT_EQ(KOPlatformInfo().getClientHostName(nullptr, host), 0);

  KOPI_CommClient comm;
  EXPECT_STREQ(comm.getJobResultsDirectory("clientA"), "/var/jobs");
  EXPECT_EQ(comm.getJobResultsDirectory("clientB"), nullptr);
  EXPECT_EQ(comm.getJobResultsDirectory(nullptr), nullptr);
}

TEST_F(PlatformInfoTest, BufferGetStringNeedsRoomForTheTerminator) {
  WriteFile(store_, "[Base]\nsNAME=abcd\n");
  KOPlatformInfo info;
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  int length = 4;  // no room for the NUL
  EXPECT_EQ(info.getString("Base", "sNAME", buffer, &length), 0);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(buffer[0], '#');

  length = 5;
  EXPECT_NE(info.getString("Base", "sNAME", buffer, &length), 0);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(length, 4);
  EXPECT_EQ(buffer[5], '#');

  length = sizeof buffer;
  EXPECT_EQ(info.getString("Base", "sMISSING", buffer, &length), 0);
  EXPECT_EQ(length, static_cast<int>(sizeof buffer));
  EXPECT_EQ(info.getString("Base", "sNAME", nullptr, &length), 0);
  EXPECT_EQ(info.getString("Base", "sNAME", buffer, nullptr), 0);
}

}  // namespace
