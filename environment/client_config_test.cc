// Configuration getters and the data-migrator agent queries, against a store written per test.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMCommon.h"

namespace {

class EnvironmentConfigTest : public ::testing::Test {
 protected:
  void Store(const std::string& text) { trhsm_test::WriteFile(store_, text); }
  trhsm_test::ScratchDir dir_;
  std::string store_ = dir_.File("registry");
  trhsm_test::ScopedEnv env_{"KO_REGISTRY", store_};
};

TEST_F(EnvironmentConfigTest, BufferGettersCutToTheCallersSize) {
  char buffer[16];
  std::memcpy(buffer, "keep me", 8);
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), -1);  // nobody served
  Store("[Base]\nsFOCUS_CLIENT=A\n[Machines/A]\nsHOST_NAME=\n");
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), -1);  // no host name
  EXPECT_STREQ(buffer, "keep me");
  EXPECT_EQ(GetVeloraPath(buffer, sizeof buffer), -1);
  EXPECT_EQ(buffer[0], '\0');
  Store(
      "[Base]\ndVELORA_HOME=/opt/velora/base\nsFOCUS_CLIENT=B\n"
      "[Machines/A]\nsHOST_NAME=wrong\n[Machines/B]\nsHOST_NAME=host-b.example\nsV=abcd\n");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetVeloraPath(buffer, 8), 0);
  EXPECT_STREQ(buffer, "/opt/ve");
  EXPECT_EQ(buffer[8], '#');
  EXPECT_EQ(GetClientName(buffer, 5), 0);
  EXPECT_STREQ(buffer, "host");
  EXPECT_EQ(GetClientName(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "host-b.example");
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", buffer, 5, false), 0);
  EXPECT_STREQ(buffer, "abcd");
  // No room for the terminator: a failure, leaving the buffer empty.
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", buffer, 4, true), -1);
  EXPECT_EQ(buffer[0], '\0');
  std::string value = "stale";
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sV", value, false), 0);
  EXPECT_EQ(GetRegistryItemValue("Machines/B", "sMISSING", value, true), -1);
  EXPECT_EQ(value, "abcd");
  // Sizes without room for a terminator, and no buffer, write nothing at all.
  buffer[0] = '#';
  EXPECT_EQ(GetVeloraPath(buffer, 0) + GetClientName(buffer, -1) +
                GetRegistryItemValue("Machines/B", "sV", buffer, 0, false) +
                GetVeloraPath(nullptr, 8) + GetClientName(nullptr, 8) +
                GetRegistryItemValue("Machines/B", "sV", nullptr, 8, false),
            -6);
  EXPECT_EQ(buffer[0], '#');
}

TEST_F(EnvironmentConfigTest, AgentClientMustBeUniqueAndInstalled) {
  const std::pair<const char*, const char*> cases[] = {
      {"[Machines/A/TSLY]\nnINSTALL=1\n[Machines/B/TSLY]\nnINSTALL=0\n",
       "Two nodes with Tessaly detected: A and B, but only one is allowed."},
      // Store order decides which is first, and any content counts; the scan stops at the second.
      {"[Machines/zeta]\n[Machines/B/TSLY]\nnINSTALL=\n[Machines/zeta/TSLY]\nnINSTALL=x\n"
       "[Machines/A/TSLY]\nnINSTALL=1\n",
       "Two nodes with Tessaly detected: zeta and B, but only one is allowed."},
      {"[Machines/A]\nnINSTALL=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n"
       "[Machines/B/TSLY]\nnINSTALL=no, whatever\n[Machines/C/TSLY]\nsOTHER=1\n",
       "= B"},
      {"[Machines/A/TSLY]\nsOTHER=1\n[Machines/A/UnixTessaly]\nnINSTALL=1\n",
       "Failed to find node name with Tessaly installed."},
  };
  for (const auto& [store, expected] : cases) {
    Store(store);
    try {
      EXPECT_EQ("= " + getTRHSMClientName(), expected);
    } catch (const KoException& e) {
      EXPECT_EQ(e.getMessage(), expected);
      EXPECT_EQ(e.getCode(), -1);
      EXPECT_EQ(e.getFunction(), "getTRHSMClientName");
      EXPECT_EQ(e.getFile(), "TRHSMCommon");
    }
  }
  // Installed means nINSTALL=1 exactly, on the client's UnixTessaly key.
  Store(
      "[Machines/zero/UnixTessaly]\nnINSTALL=0\n[Machines/eleven/UnixTessaly]\nnINSTALL=11\n"
      "[Machines/blank/UnixTessaly]\nnINSTALL=1 \n[Machines/empty/UnixTessaly]\nnINSTALL=\n"
      "[Machines/other/TSLY]\nnINSTALL=1\n[Machines/none]\n");
  for (const char* client : {"zero", "eleven", "blank", "empty", "other", "none", "nobody"}) {
    EXPECT_FALSE(IsTSLYInstalledOnVm(client)) << client;
  }
  EXPECT_FALSE(IsTSLYInstalledOnVm(nullptr));
  EXPECT_FALSE(IsTSLYInstalled());
  Store("[Machines/a/UnixTessaly]\nnINSTALL=0\n[Machines/one/UnixTessaly]\nnINSTALL=1\n");
  EXPECT_TRUE(IsTSLYInstalledOnVm("one"));
  EXPECT_TRUE(IsTSLYInstalled());
}

}  // namespace
