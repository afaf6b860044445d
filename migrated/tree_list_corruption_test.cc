// Migrated-tree lists damaged by every single-bit flip and every cut: the reader keeps every
// undamaged record, loses only the damaged line (saying so unless the line no longer looks like a
// record), and never reports a tree the list did not hold, such as a cut parent of a real one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_format.h"
#include "testing/corruption.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

using trhsm_test::BitFlip;
using Trees = std::list<std::string>;

// Trees with the bytes a flip turns into "|" ("l", "t", "x"), so a flipped path can end early.
const std::vector<std::string>& ListedTrees() {
  static const std::vector<std::string> trees = {"/data/projects", "/home/alice/tmp", "/srv/x",
                                                 "/var/lib/t", "/" + std::string(300, 'l')};
  return trees;
}

// Where each record of a list text starts; the record of tree i ends at starts[i + 1].
std::vector<size_t> RecordStarts(const std::vector<std::string>& trees) {
  std::vector<size_t> starts = {0};
  for (const std::string& tree : trees) starts.push_back(starts.back() + tree.size() + 4);
  return starts;
}

// What reading a list with one flipped bit may give. The list has no check value, so a flip that
// turns a path byte into another plain path byte gives that path as damaged, at its length; every
// other flip loses the line, and a flipped line feed the two lines it joined. All other records
// stay, in order. A lost line is reported, unless its first field is no longer the record tag.
void ExpectFlipLosesOnlyItsLine(const std::vector<std::string>& trees, const std::string& damaged,
                                BitFlip flip, const Trees& got,
                                const std::vector<std::string>& problems) {
  const std::vector<size_t> starts = RecordStarts(trees);
  size_t line = 0;
  while (flip.at >= starts[line + 1]) ++line;
  const size_t offset = flip.at - starts[line];
  const std::string& tree = trees[line];
  const char now = damaged[flip.at];
  const bool inPath = offset >= 2 && offset < 2 + tree.size();
  const bool joinsNext = offset == tree.size() + 3;  // the line feed

  Trees want;
  for (size_t i = 0; i < trees.size(); ++i) {
    if (i == line) {
      if (inPath && now != '|' && now != '\n' && now != '\0') {
        want.push_back(damaged.substr(starts[i] + 2, tree.size()));
      }
      continue;
    }
    if (joinsNext && i == line + 1) continue;
    want.push_back(trees[i]);
  }
  EXPECT_EQ(got, want);

  const bool kept = want.size() + (joinsNext && line + 1 < trees.size() ? 1 : 0) == trees.size();
  const bool tagDamaged = offset < 2;  // "1|" is no longer a record start
  if (kept || tagDamaged) {
    EXPECT_TRUE(problems.empty()) << problems.front();
  } else {
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("line " + std::to_string(line + 1) + " dropped: ", 0), 0u)
        << problems[0];
  }
}

// What reading a list cut to `length` bytes must give: every record whose closing "|" came
// through, and a report for a last record cut inside its path.
void ExpectCutKeepsWholeRecords(const std::vector<std::string>& trees, size_t length,
                                const Trees& got, const std::vector<std::string>& problems) {
  const std::vector<size_t> starts = RecordStarts(trees);
  Trees want;
  std::vector<std::string> wantProblems;
  for (size_t i = 0; i < trees.size() && starts[i] < length; ++i) {
    const size_t kept = length - starts[i];
    if (kept >= trees[i].size() + 3) {
      want.push_back(trees[i]);  // at most the line feed is missing
    } else if (kept > 2) {
      wantProblems.push_back("line " + std::to_string(i + 1) +
                             " dropped: record has no closing '|'");
    }
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(problems, wantProblems);
}

std::string ListText(const std::vector<std::string>& trees) {
  return trhsm::migrated::FormatTreeList(Trees(trees.begin(), trees.end()));
}

TEST(TreeListCorruption, EveryFlipLosesOnlyItsLine) {
  const std::vector<std::string>& trees = ListedTrees();
  const std::string good = ListText(trees);
  trhsm_test::ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
    SCOPED_TRACE(flip.Describe(good));
    std::vector<std::string> problems;
    const Trees got = trhsm::migrated::ParseTreeList(damaged, &problems);
    ExpectFlipLosesOnlyItsLine(trees, damaged, flip, got, problems);
  });
}

TEST(TreeListCorruption, EveryCutKeepsTheWholeRecords) {
  std::vector<std::string> trees = ListedTrees();
  trees.push_back("/" + std::string(trhsm::tree_list::kMaxTreeLength - 1, 'm'));  // longest
  const std::string good = ListText(trees);
  trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
    SCOPED_TRACE("cut to " + std::to_string(prefix.size()) + " bytes");
    std::vector<std::string> problems;
    const Trees got = trhsm::migrated::ParseTreeList(prefix, &problems);
    ExpectCutKeepsWholeRecords(trees, prefix.size(), got, problems);
  });
}

// The same through the list object: the list written by addTree, damaged on disk, and read back by
// a transaction-mode object, which logs each dropped line.
class MigratedListCorruption : public ::testing::Test {
 protected:
  void SetUp() override {
    results_ = dir_.File("results");
    ASSERT_EQ(0, ::mkdir(results_.c_str(), 0777));
    trhsm_test::WriteFile(dir_.File("registry"),
                          "[Machines/c1]\ndJOB_RESULTS_DIR=" + results_ + "\n");
    trhsm_test::WriteFile(dir_.File("mounts"), "/dev/sda1 / ext4 rw 0 0\n");
    registry_ = std::make_unique<trhsm_test::ScopedEnv>("KO_REGISTRY", dir_.File("registry"));
    mounts_ = std::make_unique<trhsm_test::ScopedEnv>("KO_MOUNT_TABLE", dir_.File("mounts"));
  }

  std::string List() const { return results_ + "/HSMMNTLIST"; }

  // Reads `text` as the list file; the dropped lines' reports come from the log.
  Trees Read(TRHSMMigratedDirTrees* list, const std::string& text,
             std::vector<std::string>* problems) {
    trhsm_test::WriteFile(List(), text);
    trhsm_test::LogCapture log;
    Trees trees = list->getDirList();
    const std::string prefix = "ERROR TRHSMMigratedDirTrees::loadList: " + List() + ": ";
    for (const std::string& message : trhsm_test::LoggedMessages(log.Text())) {
      EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
      problems->push_back(message.substr(prefix.size()));
    }
    return trees;
  }

  trhsm_test::ScratchDir dir_;
  std::string results_;
  std::unique_ptr<trhsm_test::ScopedEnv> registry_;
  std::unique_ptr<trhsm_test::ScopedEnv> mounts_;
};

TEST_F(MigratedListCorruption, DamagedListFileLosesOnlyTheDamagedLine) {
  const std::vector<std::string> trees(ListedTrees().begin(), ListedTrees().end() - 1);
  TRHSMMigratedDirTrees list(false, "c1");
  for (const std::string& tree : trees) list.addTree(tree.c_str());
  const std::string good = trhsm_test::ReadFile(List());
  ASSERT_EQ(good, ListText(trees));

  trhsm_test::ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
    SCOPED_TRACE(flip.Describe(good));
    std::vector<std::string> problems;
    const Trees got = Read(&list, damaged, &problems);
    ExpectFlipLosesOnlyItsLine(trees, damaged, flip, got, problems);
  });
  trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
    SCOPED_TRACE("cut to " + std::to_string(prefix.size()) + " bytes");
    std::vector<std::string> problems;
    const Trees got = Read(&list, prefix, &problems);
    ExpectCutKeepsWholeRecords(trees, prefix.size(), got, problems);
  });
}

}  // namespace
