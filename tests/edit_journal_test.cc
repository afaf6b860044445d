// The crash loop's judgement of a list against the edit journal: what it must call damage and what
// an interrupted edit allows.
#include "tests/edit_journal.h"

#include <gtest/gtest.h>

#include <list>
#include <string>

namespace {

using crashloop::CompareList;
using crashloop::FormatRecord;
using crashloop::ReplayJournal;

constexpr char kPrefix[] = "/crashloop/";

std::string Rec(char kind, char op, const std::string& tree) {
  return FormatRecord(kind, op, tree);
}

size_t DamageOf(const std::string& journal, const std::list<std::string>& trees) {
  const crashloop::JournalState state = ReplayJournal(journal);
  EXPECT_TRUE(state.problems.empty());
  return CompareList(state, trees, kPrefix).size();
}

TEST(EditJournalTest, RecordsAreFixedSizeAndRefuseWhatCannotBeReadBack) {
  static_assert(4096 % crashloop::kRecordSize == 0, "a record must never straddle a page");
  const std::string r = Rec('D', 'a', "/crashloop/s0/t1");
  EXPECT_EQ(r.size(), crashloop::kRecordSize);
  EXPECT_EQ(r.compare(0, 21, "D a /crashloop/s0/t1 "), 0);
  EXPECT_EQ(r.back(), '\n');
  EXPECT_EQ(Rec('D', 'a', "/with blank"), "");
  EXPECT_EQ(Rec('D', 'a', ""), "");
  EXPECT_EQ(Rec('D', 'a', std::string(crashloop::kMaxTreeLength + 1, 'x')), "");
  // A tree that fills the record has no padding and still reads back.
  const std::string longest = "/" + std::string(crashloop::kMaxTreeLength - 1, 'x');
  const crashloop::JournalState state = ReplayJournal(Rec('D', 'a', longest));
  EXPECT_TRUE(state.problems.empty());
  EXPECT_EQ(state.listed.count(longest), 1u);
}

TEST(EditJournalTest, ACutOrForeignJournalIsAProblemNotAVerdict) {
  const std::string good = Rec('T', 'a', "/crashloop/a") + Rec('D', 'a', "/crashloop/a");
  EXPECT_TRUE(ReplayJournal(good).problems.empty());
  EXPECT_EQ(ReplayJournal(good.substr(0, good.size() - 1)).problems.size(), 1u);
  std::string foreign = good;
  foreign[0] = 'X';
  EXPECT_EQ(ReplayJournal(foreign).problems.size(), 1u);
  std::string unpadded = good;
  unpadded[40] = 'y';  // a second word in the record
  EXPECT_EQ(ReplayJournal(unpadded).problems.size(), 1u);
}

TEST(EditJournalTest, ReturnedEditsMustShow) {
  const std::string added = Rec('T', 'a', "/crashloop/a") + Rec('D', 'a', "/crashloop/a");
  EXPECT_EQ(DamageOf(added, {"/crashloop/a"}), 0u);
  EXPECT_EQ(DamageOf(added, {}), 1u) << "a returned add that is lost";
  const std::string deleted = added + Rec('T', 'd', "/crashloop/a") + Rec('D', 'd', "/crashloop/a");
  EXPECT_EQ(DamageOf(deleted, {}), 0u);
  EXPECT_EQ(DamageOf(deleted, {"/crashloop/a"}), 1u) << "a returned delete that came back";
  EXPECT_EQ(DamageOf(added, {"/crashloop/a", "/crashloop/a"}), 1u) << "listed twice";
  EXPECT_EQ(DamageOf(added, {"/crashloop/a", "/crashloop/b"}), 1u) << "never edited";
  // Trees of other writers (the stub job) are judged elsewhere.
  EXPECT_EQ(DamageOf(added, {"/crashloop/a", "/data/files/d0"}), 0u);
}

TEST(EditJournalTest, AnInterruptedEditAllowsBothOutcomesUntilSettled) {
  const std::string added = Rec('T', 'a', "/crashloop/a") + Rec('D', 'a', "/crashloop/a");
  const std::string cut = added + Rec('T', 'd', "/crashloop/a");
  EXPECT_EQ(DamageOf(cut, {"/crashloop/a"}), 0u);
  EXPECT_EQ(DamageOf(cut, {}), 0u);
  // An interrupted add of a tree never added before.
  EXPECT_EQ(DamageOf(Rec('T', 'a', "/crashloop/b"), {"/crashloop/b"}), 0u);
  EXPECT_EQ(DamageOf(Rec('T', 'a', "/crashloop/b"), {}), 0u);
  // An interrupted edit does not excuse the other trees.
  EXPECT_EQ(DamageOf(added + Rec('T', 'a', "/crashloop/b"), {}), 1u);

  // Settled as seen gone: the tree must stay gone until a later edit returns.
  const crashloop::JournalState state = ReplayJournal(cut + Rec('T', 'a', "/crashloop/b"));
  const std::string gone = crashloop::SettledJournal(state, {});
  EXPECT_EQ(gone, Rec('S', 'd', "/crashloop/a") + Rec('S', 'd', "/crashloop/b"));
  EXPECT_TRUE(ReplayJournal(gone).pending.empty());
  EXPECT_EQ(DamageOf(gone, {}), 0u);
  EXPECT_EQ(DamageOf(gone, {"/crashloop/a"}), 1u);
  EXPECT_EQ(DamageOf(gone + Rec('T', 'a', "/crashloop/a"), {"/crashloop/a"}), 0u);
  // Settled as seen listed: a later list without it is damage.
  const std::string kept = crashloop::SettledJournal(state, {"/crashloop/a", "/crashloop/b"});
  EXPECT_EQ(DamageOf(kept, {"/crashloop/a", "/crashloop/b"}), 0u);
  EXPECT_EQ(DamageOf(kept, {"/crashloop/b"}), 1u);
}

}  // namespace
