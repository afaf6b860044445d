// getStubCacheInfo: the enable flag, the root and its fallback, as read from the store.
#include <gtest/gtest.h>

#include <string>

#include "testing/test_util.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMStubCache.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

class StubCacheInfoTest : public ::testing::Test {
 protected:
  StubCacheInfoTest() : store_(dir_.File("registry")), env_("KO_REGISTRY", store_) {}

  struct Info {
    bool enabled;
    std::string root;
  };

  // The answer for client "c" with `values` as the lines of its key.
  Info For(const std::string& values) {
    WriteFile(
        store_,
        "[Machines/other]\nnUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/wrong\n[Machines/c]\n" + values);
    Info info{true, "untouched"};  // so that a stored false shows
    getStubCacheInfo("c", &info.enabled, &info.root);
    return info;
  }

  ScratchDir dir_;
  std::string store_;
  ScopedEnv env_;
};

TEST_F(StubCacheInfoTest, EnableFlagIsTheFirstCharacter) {
  for (const char* on : {"Yes", "y", "Y", "1", "10", "yikes"}) {
    EXPECT_TRUE(For(std::string("dSTUB_CACHE_ROOT=/r\nnUSE_STUB_CACHE=") + on + "\n").enabled)
        << on;
  }
  for (const char* off : {"N", "0", "true", "", " y", "on"}) {
    EXPECT_FALSE(For(std::string("dSTUB_CACHE_ROOT=/r\nnUSE_STUB_CACHE=") + off + "\n").enabled)
        << off;
  }
  EXPECT_FALSE(For("dSTUB_CACHE_ROOT=/r\n").enabled);
}

TEST_F(StubCacheInfoTest, RootLosesTrailingSlashesAndFallsBackToResults) {
  Info i =
      For("nUSE_STUB_CACHE=y\ndSTUB_CACHE_ROOT=/var/cache/stubs///\ndJOB_RESULTS_DIR=/opt/jr\n");
  EXPECT_TRUE(i.enabled);
  EXPECT_EQ(i.root, "/var/cache/stubs");

  i = For("nUSE_STUB_CACHE=y\ndSTUB_CACHE_ROOT=/\ndJOB_RESULTS_DIR=/opt/jr\n");
  EXPECT_TRUE(i.enabled);
  EXPECT_EQ(i.root, "/opt/jr/StubCache");

  // The fallback is taken whether or not the cache is enabled.
  i = For("dJOB_RESULTS_DIR=/opt/jr\n");
  EXPECT_FALSE(i.enabled);
  EXPECT_EQ(i.root, "/opt/jr/StubCache");

  i = For("nUSE_STUB_CACHE=Y\n");
  EXPECT_FALSE(i.enabled) << "no root at all disables the cache";
  EXPECT_EQ(i.root, "");
  i = For("nUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=//\n");
  EXPECT_FALSE(i.enabled);
  EXPECT_EQ(i.root, "");

  i = For("nUSE_STUB_CACHE=Y\ndJOB_RESULTS_DIR=\n");
  EXPECT_TRUE(i.enabled) << "an empty results directory is used as it is";
  EXPECT_EQ(i.root, "/StubCache");
}

TEST_F(StubCacheInfoTest, LogsWhatItFound) {
  LogCapture log;
  For("nUSE_STUB_CACHE=Yes\ndSTUB_CACHE_ROOT=/x/\n");
  for (const char* line : {"getStubCacheInfo", "c: nUSE_STUB_CACHE=Yes", "c: dSTUB_CACHE_ROOT=/x/",
                           "c: Stub cache root: /x"}) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
  log.Clear();
  For("nUSE_STUB_CACHE=\n");
  EXPECT_FALSE(log.Contains("nUSE_STUB_CACHE"));
  EXPECT_TRUE(log.Contains("c: Stub cache disabled."));
}

TEST_F(StubCacheInfoTest, NullPointersAreSkippedAndClientIsRequired) {
  WriteFile(store_, "[Machines/c]\nnUSE_STUB_CACHE=Y\ndSTUB_CACHE_ROOT=/r\n");
  std::string root;
  getStubCacheInfo("c", nullptr, &root);
  EXPECT_EQ(root, "/r");
  bool enabled = false;
  getStubCacheInfo("c", &enabled, nullptr);
  EXPECT_TRUE(enabled);

  for (const char* client : {static_cast<const char*>(nullptr), ""}) {
    enabled = true;
    try {
      getStubCacheInfo(client, &enabled, &root);
      ADD_FAILURE() << "no exception";
    } catch (const KoException& e) {
      EXPECT_EQ(e.getMessage(), "NULL or empty client name passed as input.");
      EXPECT_EQ(e.getFunction(), "getStubCacheInfo");
      EXPECT_EQ(e.getFile(), "TRHSMCommon");
      EXPECT_EQ(e.getCode(), -1);
    }
    EXPECT_TRUE(enabled) << "nothing stored on failure";
  }
}

}  // namespace
