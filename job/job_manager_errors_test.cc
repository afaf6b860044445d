// The job-manager facade when memory runs out while InitJobManager makes its job-client objects:
// the init fails with 0 naming the object, and a facade left with one client refuses every report
// instead of using the missing one.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "testing/alloc_fault.h"
#include "testing/test_util.h"
#include "trhsm/HSMJobManager.h"

namespace {

using trhsm_test::LogCapture;
using trhsm_test::ScopedAllocFault;

TEST(JobManagerOutOfMemory, EachFailedClientIsReportedAndTheFacadeStaysRefusing) {
  LogCapture log;
  EvEvent events;
  std::set<std::string> failed;
  long n = 1;
  for (; n < 100; ++n) {
    HSMJobManager jm(0, "", "job", &events);  // job 0: the clients are made, nobody is told
    log.Clear();
    int rc;
    bool fired;
    {
      ScopedAllocFault oom(n);
      rc = jm.InitJobManager();
      fired = oom.fired();
    }
    if (!fired) {
      EXPECT_EQ(rc, 1);
      break;
    }
    EXPECT_EQ(rc, 0) << "allocation " << n;
    for (const char* client : {"KOBkpJobClient", "KOJobCtrlClient"}) {
      if (log.Contains("InitJobManager: new " + std::string(client) + "() failed")) {
        failed.insert(client);
      }
    }
    log.Clear();
    EXPECT_EQ(jm.getRestartOffset(), 0);
    long offset = 5;
    EXPECT_EQ(jm.NotifyJobManagerPhaseSuccess(offset, false), 0);
    EXPECT_TRUE(log.Contains("HSMJobManager::getRestartOffset: [0] called before InitJobManager"))
        << log.Text();
  }
  EXPECT_LT(n, 100) << "InitJobManager never succeeded";
  EXPECT_EQ(failed, (std::set<std::string>{"KOBkpJobClient", "KOJobCtrlClient"}));
}

}  // namespace
