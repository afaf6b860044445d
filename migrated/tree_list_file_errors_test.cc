// The list file's own I/O under interruptions: an interrupted read or write is retried and the
// bytes come out whole, an interrupted fsync fails the save (a second fsync could report success
// for pages the kernel already dropped), leaving the old list and no temporary file.
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "migrated/tree_list_file.h"
#include "testing/fault_inject.h"
#include "testing/test_util.h"
#include "trhsm/KoException.h"

namespace {

using trhsm_test::ListFolder;
using trhsm_test::ReadFile;
using trhsm_test::ScopedFault;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

constexpr char kTag[] = "TRHSMMigratedDirTrees::saveList";

TEST(TreeListFileErrors, InterruptedCallsAreRetriedExceptFsync) {
  struct Case {
    const char* op;
    bool saves;  // false: the save must fail
    long calls;  // of `op`, the failed one included
  };
  // The open and fsync of the folder's sync follow the temporary file's own.
  const std::vector<Case> cases = {{"open", true, 3}, {"write", true, 2}, {"fsync", false, 1}};
  // Larger than one read chunk, so the read loop goes round after the retry.
  const std::string old = "1|/old|\n" + std::string(20000, 'o') + "\n";
  const std::string next = "1|/new|\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    ScratchDir dir;
    const std::string list = dir.File("HSMMNTLIST");
    WriteFile(list, old);
    const int fds = trhsm_open_fd_count();
    std::string message;
    {
      ScopedFault fault(c.op, 1, EINTR, false);
      try {
        trhsm::migrated::ReplaceListFile(list, next, kTag);
      } catch (const KoException& e) {
        message = e.getMessage();
      }
      EXPECT_TRUE(trhsm_fault_fired());
      EXPECT_EQ(trhsm_fault_calls(c.op), c.calls);
    }
    if (c.saves) {
      EXPECT_EQ(message, "");
      EXPECT_EQ(ReadFile(list), next);
    } else {
      EXPECT_EQ(message.rfind("Failed to sync file " + list + ".tmp for " + list + ": ", 0), 0u)
          << message;
      EXPECT_EQ(ReadFile(list), old);
    }
    EXPECT_EQ(ListFolder(dir.path()), std::vector<std::string>{"HSMMNTLIST"});
    EXPECT_EQ(trhsm_open_fd_count(), fds);
  }
}

TEST(TreeListFileErrors, InterruptedReadIsRetried) {
  ScratchDir dir;
  const std::string list = dir.File("HSMMNTLIST");
  const std::string text = std::string(40000, 'r') + "\n";
  WriteFile(list, text);
  for (long n : {1L, 2L, 3L}) {
    ScopedFault fault("read", n, EINTR, false);
    EXPECT_EQ(trhsm::migrated::ReadListFile(list, kTag), text) << "EINTR at read " << n;
    EXPECT_TRUE(trhsm_fault_fired());
  }
}

}  // namespace
