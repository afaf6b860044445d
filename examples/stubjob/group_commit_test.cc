// The group commits of the stub job (StubGroup) and of the recall (Recaller): whatever happens to
// one file between its staging and the commit, that file alone is refused and left as it was, the
// others of the group are replaced, and no temporary is left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "examples/stubjob/stub_replace.h"
#include "platform/archive.h"
#include "testing/test_util.h"
#include "tools/recall_file.h"
#include "trhsm/trhsm.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::WriteFile;

struct Row {
  const char* what;
  // Done to file `path` (its temporary is `temp`, "" when unknown) after staging, before the
  // commit.
  std::function<void(const std::string& path, const std::string& temp)> meddle;
  const char* error;  // the file's refusal, "" when it is replaced all the same
};

const Row kRows[] = {
    {"left alone", [](const std::string&, const std::string&) {}, ""},
    {"written", [](const std::string& p, const std::string&) { WriteFile(p, "newer data"); },
     "changed"},
    {"chmod-ed", [](const std::string& p, const std::string&) { ::chmod(p.c_str(), 0600); },
     "changed"},
    {"linked",
     [](const std::string& p, const std::string&) { ::link(p.c_str(), (p + "2").c_str()); },
     "changed"},
    {"renamed away",
     [](const std::string& p, const std::string&) { ::rename(p.c_str(), (p + "2").c_str()); },
     "changed"},
    {"temporary swapped",
     // Made while the temporary still exists, so that it cannot reuse its inode number.
     [](const std::string&, const std::string& t) {
       WriteFile(t + "x", "x"), ::rename((t + "x").c_str(), t.c_str());
     },
     "was replaced while"},
};

// The temporaries in `folder` (names starting with `prefix`).
std::vector<std::string> TemporariesIn(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& n : trhsm_test::ListFolder(folder))
    if (n.rfind(prefix, 0) == 0) out.push_back(folder + "/" + n);
  return out;
}

// The temporary staged for the second of three files: the one that came with it.
std::string SecondTemporary(const std::vector<std::string>& afterFirst,
                            const std::vector<std::string>& afterSecond) {
  for (const std::string& t : afterSecond)
    if (t != afterFirst.at(0)) return t;
  return "";
}

// No temporary left but a file planted in one's place (left alone, and removed here).
bool NoTemporary(const std::string& folder, const std::string& planted) {
  if (ReadFile(planted) == "x") ::unlink(planted.c_str());
  for (const std::string& n : trhsm_test::ListFolder(folder))
    if (n[0] == '.') return false;
  return true;
}

TEST(GroupCommit, StubGroupRefusesOnlyTheFileMeddledWith) {
  for (const Row& row : kRows) {
    trhsm_test::ScratchDir dir;
    const std::string a = dir.File("a"), b = dir.File("b"), c = dir.File("c");
    stubjob::StubGroup group(8, 1 << 20, 4);
    std::string error;
    std::vector<std::vector<std::string>> temporaries;  // after each staging
    for (const std::string& p : {a, b, c}) {
      WriteFile(p, "original " + p);
      struct stat st;
      ASSERT_EQ(::lstat(p.c_str(), &st), 0);
      ASSERT_GE(group.Stage(p, "stub of " + p, st, &error), 0) << error;
      temporaries.push_back(TemporariesIn(dir.path(), ".trhsm-stub-tmp."));
    }
    const std::string temporary = SecondTemporary(temporaries[0], temporaries[1]);
    row.meddle(b, temporary);
    const std::vector<stubjob::StubGroup::Done> done = group.Commit();
    ASSERT_EQ(done.size(), 3u) << row.what;
    EXPECT_TRUE(done[0].replaced && done[2].replaced) << row.what;
    EXPECT_EQ(ReadFile(a), "stub of " + a) << row.what;
    EXPECT_EQ(ReadFile(c), "stub of " + c) << row.what;
    EXPECT_EQ(done[1].replaced, *row.error == '\0') << row.what << ": " << done[1].error;
    EXPECT_PRED2(trhsm_test::Contains, done[1].error, row.error) << row.what;
    if (*row.error != '\0' && ::access(b.c_str(), F_OK) == 0) {
      EXPECT_NE(ReadFile(b), "stub of " + b) << row.what;
    }
    EXPECT_TRUE(NoTemporary(dir.path(), temporary)) << row.what;
  }
}

TEST(GroupCommit, RecallGroupRefusesOnlyTheStubMeddledWith) {
  for (const Row& row : kRows) {
    trhsm_test::ScratchDir dir;
    const std::string archive = dir.File("archive"), files = dir.File("files");
    ASSERT_EQ(::mkdir(files.c_str(), 0755), 0);
    trhsm_tools::Recaller recaller(archive, false);
    std::vector<std::string> paths;
    std::vector<std::vector<std::string>> temporaries;  // after each staging
    for (const char* name : {"a", "b", "c"}) {
      const std::string p = files + "/" + name;
      WriteFile(p, std::string(3000, *name));
      int64_t offset = 0;
      std::string error;
      ASSERT_TRUE(trhsm::platform::AppendCopy(archive, 1, 1, p, &offset, &error)) << error;
      const std::string text = "1:0:1:1:" + std::to_string(offset) +
                               ":1:" + std::to_string(p.size()) + ":" + p + "|1700000000";
      std::string stub(static_cast<size_t>(trhsm_meta2stub(text.c_str(), 0, nullptr, 0)), '\0');
      trhsm_meta2stub(text.c_str(), 0, &stub[0], static_cast<int>(stub.size()));
      ::unlink(p.c_str()), WriteFile(p, stub);
      trhsm_tools::RecallOutcome out;
      ASSERT_GE(recaller.Stage(p, &out), 0) << out.error;
      paths.push_back(p);
      temporaries.push_back(TemporariesIn(files, trhsm_tools::kRecallTemporaryPrefix));
    }
    const std::string temporary = SecondTemporary(temporaries[0], temporaries[1]);
    row.meddle(paths[1], temporary);
    const std::vector<trhsm_tools::RecallOutcome> done = recaller.Commit();
    ASSERT_EQ(done.size(), 3u) << row.what;
    EXPECT_TRUE(done[0].ok && done[2].ok) << row.what << done[0].error << done[2].error;
    EXPECT_EQ(ReadFile(paths[0]), std::string(3000, 'a')) << row.what;
    EXPECT_EQ(ReadFile(paths[2]), std::string(3000, 'c')) << row.what;
    // A chmod or a link leaves a stub the same stub: it is recalled all the same.
    const bool sameStub = std::string(row.what) == "chmod-ed" || std::string(row.what) == "linked";
    EXPECT_EQ(done[1].ok, *row.error == '\0' || sameStub) << row.what << ": " << done[1].error;
    if (!done[1].ok) {
      EXPECT_NE(ReadFile(paths[1]), std::string(3000, 'b')) << row.what;
    }
    EXPECT_TRUE(NoTemporary(files, temporary)) << row.what;
  }
}

}  // namespace
