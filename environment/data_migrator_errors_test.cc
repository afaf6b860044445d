// The data-migrator queries when memory runs out at any allocation: each run throws
// std::bad_alloc or gives the answer the store holds, never a wrong answer.
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "testing/alloc_fault.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMEnvironment.h"

namespace {

TEST(DataMigratorOutOfMemory, EachQueryThrowsOrAnswersRight) {
  trhsm_test::ScratchDir dir;
  trhsm_test::WriteFile(dir.File("registry"),
                        "[Machines/a-long-client-name]\nnINSTALL=1\n"
                        "[Machines/a-long-client-name/UnixTessaly]\nnINSTALL=1\n");
  trhsm_test::ScopedEnv env("KO_REGISTRY", dir.File("registry"));
  for (const bool all : {false, true}) {
    long n = 1;
    for (; n < 500; ++n) {
      bool installed = false, threw = false, fired;
      {
        trhsm_test::ScopedAllocFault oom(n);
        try {
          installed = all ? IsTSLYInstalled() : IsTSLYInstalledOnVm("a-long-client-name");
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        fired = oom.fired();
      }
      EXPECT_EQ(threw, fired) << "allocation " << n;
      if (!fired) {
        EXPECT_TRUE(installed);
        break;
      }
    }
    EXPECT_GT(n, 1);
    EXPECT_LT(n, 500);
  }
}

}  // namespace
