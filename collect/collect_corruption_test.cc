// Collect files, written by the library's writers, damaged by every single-bit flip and every cut:
// a cut line is never yielded, undamaged lines come through unchanged and in order, and what a
// damaged line yields is read from its damaged bytes whole, never cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/backup_index.h"
#include "testing/corruption.h"
#include "testing/test_util.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::BitFlip;
using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

struct Item {
  std::string name;
  long time = 0;
  bool operator==(const Item& o) const { return name == o.name && time == o.time; }
};

std::ostream& operator<<(std::ostream& out, const Item& i) {
  return out << "{" << i.name << ", " << i.time << "}";
}

// The lines of `text`, each with its line feed.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

// Which original line byte `at` lies in, and whether it is that line's line feed (which joins the
// line to the next).
size_t LineOf(const std::vector<std::string>& lines, size_t at, bool* isLineFeed) {
  size_t line = 0;
  for (size_t start = 0;; start += lines[line++].size()) {
    if (at < start + lines[line].size()) {
      *isLineFeed = at == start + lines[line].size() - 1;
      return line;
    }
  }
}

// The items `good` gives with the damaged line (and, when its line feed was hit, the next one)
// taken out; `yielded` are the items read from the damaged file. Checks that the undamaged lines'
// items come through unchanged and in order, and that the damaged lines gave at most one item,
// which is returned through *fromDamage.
void ExpectOnlyDamagedLinesDiffer(const std::vector<Item>& originals, size_t line, bool joined,
                                  const std::vector<Item>& yielded, const Item** fromDamage) {
  std::vector<Item> before(originals.begin(), originals.begin() + line);
  const size_t after = std::min(originals.size(), line + (joined ? 2 : 1));
  std::vector<Item> behind(originals.begin() + after, originals.end());
  *fromDamage = nullptr;
  ASSERT_GE(yielded.size(), before.size() + behind.size());
  ASSERT_LE(yielded.size(), before.size() + behind.size() + 1);
  EXPECT_EQ(std::vector<Item>(yielded.begin(), yielded.begin() + before.size()), before);
  EXPECT_EQ(std::vector<Item>(yielded.end() - behind.size(), yielded.end()), behind);
  if (yielded.size() > before.size() + behind.size()) *fromDamage = &yielded[before.size()];
}

// ---- Timed lines: the writer and GetLineFromCollectFile ----

const std::vector<Item>& TimedItems() {
  static const std::vector<Item> items = {{"/data/a.txt", 42},
                                          {"/home/alice/x y", 1700000000},
                                          {"/n", -5},
                                          {"/srv/" + std::string(40, 'd'), 7}};
  return items;
}

std::string WriteTimedFile(const std::string& path, const std::vector<Item>& items) {
  CollectFile writer;
  EXPECT_EQ(writer.Initialize(path), 1);
  writer.SetSeperator('|');
  for (const Item& i : items) {
    std::string name = i.name;
    EXPECT_EQ(writer.AddToCollectFile(&name[0], false, true, i.time), 1);
  }
  EXPECT_EQ(writer.DeInitialize(), 1);
  return ReadFile(path);
}

// Every item GetLineFromCollectFile yields from `text`, reading on past lines without one.
std::vector<Item> ReadTimed(const std::string& path, const std::string& text) {
  WriteFile(path, text);
  std::vector<Item> items;
  FILE* fp = std::fopen(path.c_str(), "r");
  EXPECT_NE(fp, nullptr);
  if (fp == nullptr) return items;
  HSMCollectFile item;
  while (!std::feof(fp) && !std::ferror(fp)) {
    if (GetLineFromCollectFile(fp, '|', item) == 1) items.push_back({item.fileName, item.itemTime});
  }
  std::fclose(fp);
  return items;
}

// An item read from a damaged timed line is the whole text between the line's first separator and
// its second-last one, with the time read from the text between the last two.
void ExpectReadWhole(const std::string& damagedLines, const Item& item) {
  const size_t first = damagedLines.find('|');
  ASSERT_NE(first, std::string::npos);
  const std::string expectedHead = damagedLines.substr(first + 1, item.name.size());
  EXPECT_EQ(expectedHead, item.name);
  ASSERT_GT(damagedLines.size(), first + 1 + item.name.size());
  EXPECT_EQ(damagedLines[first + 1 + item.name.size()], '|');
  const std::string rest = damagedLines.substr(first + 1 + item.name.size() + 1);
  // rest: the time text, the last separator, the line feed.
  ASSERT_GE(rest.size(), 2u);
  EXPECT_EQ(rest.substr(rest.size() - 2), "|\n");
  const std::string time = rest.substr(0, rest.size() - 2);
  EXPECT_EQ(time.find('|'), std::string::npos);
  EXPECT_EQ(item.time, std::strtol(time.c_str(), nullptr, 10));
}

TEST(CollectFileCorruption, TimedLinesLoseOnlyTheFlippedLine) {
  ScratchDir dir;
  const std::vector<Item>& items = TimedItems();
  const std::string good = WriteTimedFile(dir.File("collect"), items);
  ASSERT_EQ(ReadTimed(dir.File("read"), good), items);
  const std::vector<std::string> lines = Lines(good);
  trhsm_test::ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
    SCOPED_TRACE(flip.Describe(good));
    bool joined = false;
    const size_t line = LineOf(lines, flip.at, &joined);
    const std::vector<Item> got = ReadTimed(dir.File("read"), damaged);
    const Item* fromDamage = nullptr;
    ExpectOnlyDamagedLinesDiffer(items, line, joined, got, &fromDamage);
    if (fromDamage == nullptr) return;
    // The damaged bytes of the line, with the line joined to it.
    size_t start = 0;
    for (size_t i = 0; i < line; ++i) start += lines[i].size();
    size_t length =
        lines[line].size() + (joined && line + 1 < lines.size() ? lines[line + 1].size() : 0);
    ExpectReadWhole(damaged.substr(start, length), *fromDamage);
    // These names hold no separator, so a name that survives is the whole name, at its length.
    if (!joined) {
      EXPECT_EQ(fromDamage->name.size(), items[line].name.size());
    }
  });
}

TEST(CollectFileCorruption, ACutTimedLineIsNeverYielded) {
  ScratchDir dir;
  const std::vector<Item>& items = TimedItems();
  const std::string good = WriteTimedFile(dir.File("collect"), items);
  trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
    SCOPED_TRACE("cut to " + std::to_string(prefix.size()) + " bytes");
    const size_t whole = Lines(prefix).size() - (prefix.empty() || prefix.back() == '\n' ? 0 : 1);
    EXPECT_EQ(ReadTimed(dir.File("read"), prefix),
              std::vector<Item>(items.begin(), items.begin() + whole));
  });
}

// ---- The direct reader: a stub collect file and its stub list ----

struct Direct {
  Item item;
  std::string reparse;
  unsigned long inode;
  bool operator==(const Direct& o) const {
    return item == o.item && reparse == o.reparse && inode == o.inode;
  }
};

std::ostream& operator<<(std::ostream& out, const Direct& d) {
  return out << d.item << " " << d.reparse << " " << d.inode;
}

std::vector<Direct> ReadDirect(const ScratchDir& dir, const std::string& stubFile,
                               const std::string& stubList, trhsm_test::LogCapture& log) {
  WriteFile(dir.File("stub.kof"), stubFile);
  WriteFile(dir.File("stub.lst"), stubList);
  TRHSM_CMDLINE_ARGS args;
  args.stubFileName = dir.File("stub.kof");
  args.stubListName = dir.File("stub.lst");
  EvEvent events;
  log.Clear();
  TRHSMCollectFileReader reader(args, events);
  EXPECT_EQ(reader.Initialize(), 1);
  EXPECT_EQ(reader.Open(), 1);
  std::vector<Direct> got;
  HSMCollectFile item;
  std::string reparse;
  std::string meta;
  unsigned long inode;
  long long size;
  std::string status;
  while (reader.GetItem(item, reparse, meta, inode, size, status) == 1) {
    got.push_back({{item.fileName, item.itemTime}, reparse, inode});
    EXPECT_LT(got.size(), 100u);
    if (got.size() >= 100) break;
  }
  EXPECT_TRUE(log.Contains("Either Failed to read " + args.stubFileName + " and " +
                           args.stubListName + " or both ended"));
  return got;
}

TEST(CollectFileCorruption, DirectReaderStopsAtTheDamageAndNeverYieldsACutLine) {
  ScratchDir dir;
  trhsm_test::LogCapture log;
  const std::vector<Item>& items = TimedItems();
  const std::string stubFile = WriteTimedFile(dir.File("collect"), items);
  std::vector<Direct> originals;
  std::string stubList;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string reparse = "1:3:7:8:" + std::to_string(i) + ":1:2:/x|1700000000";
    originals.push_back({items[i], reparse, 100 + i});
    stubList += reparse + "|" + std::to_string(100 + i) + "\n";
  }
  ASSERT_EQ(ReadDirect(dir, stubFile, stubList, log), originals);

  // A cut of either file: the items of the whole lines of both, and no other.
  auto wholeLines = [](const std::string& text) {
    return Lines(text).size() - (text.empty() || text.back() == '\n' ? 0 : 1);
  };
  trhsm_test::ForEachTruncation(stubFile, [&](const std::string& prefix) {
    SCOPED_TRACE("stub file cut to " + std::to_string(prefix.size()) + " bytes");
    EXPECT_EQ(ReadDirect(dir, prefix, stubList, log),
              std::vector<Direct>(originals.begin(), originals.begin() + wholeLines(prefix)));
  });
  trhsm_test::ForEachTruncation(stubList, [&](const std::string& prefix) {
    SCOPED_TRACE("stub list cut to " + std::to_string(prefix.size()) + " bytes");
    EXPECT_EQ(ReadDirect(dir, stubFile, prefix, log),
              std::vector<Direct>(originals.begin(), originals.begin() + wholeLines(prefix)));
  });

  // A flip in the stub file: the lines before it come through; the damaged line gives an item read
  // whole from its bytes or ends the reading, like any line without an item.
  const std::vector<std::string> lines = Lines(stubFile);
  trhsm_test::ForEachBitFlip(stubFile, [&](const std::string& damaged, BitFlip flip) {
    SCOPED_TRACE(flip.Describe(stubFile));
    bool joined = false;
    const size_t line = LineOf(lines, flip.at, &joined);
    const std::vector<Direct> got = ReadDirect(dir, damaged, stubList, log);
    ASSERT_GE(got.size(), line);
    EXPECT_EQ(std::vector<Direct>(got.begin(), got.begin() + line),
              std::vector<Direct>(originals.begin(), originals.begin() + line));
    if (got.size() == line) return;
    // The damaged line's item pairs with its own stub list line.
    EXPECT_EQ(got[line].reparse, originals[line].reparse);
    EXPECT_EQ(got[line].inode, originals[line].inode);
    if (!joined && got[line].item == originals[line].item) return;
    size_t start = 0;
    for (size_t i = 0; i < line; ++i) start += lines[i].size();
    const size_t length =
        lines[line].size() + (joined && line + 1 < lines.size() ? lines[line + 1].size() : 0);
    ExpectReadWhole(damaged.substr(start, length), got[line].item);
  });
}

// ---- The database reader: the collect file the backup index query writes ----

struct DbItem {
  std::string name;
  unsigned long inode;
  std::string meta;
  std::string reparse;  // without the current time at its end
  bool operator==(const DbItem& o) const {
    return name == o.name && inode == o.inode && meta == o.meta && reparse == o.reparse;
  }
};

std::ostream& operator<<(std::ostream& out, const DbItem& d) {
  return out << "{" << d.name << ", " << d.inode << ", " << d.meta << ", " << d.reparse << "}";
}

class DbCollectCorruption : public ::testing::Test {
 protected:
  DbCollectCorruption() : collect_(dir_.path() + "/collect/") {
    EXPECT_EQ(::mkdir(collect_.c_str(), 0755), 0);
    args_.collectFolder = collect_;
    args_.jobId = 12;
    args_.auxNumber = 3;
    args_.restartValue = 99;
  }

  // Fills a backup index with the job's items and lets the reader's query write the collect file.
  std::string QueryWrites() {
    const std::string indexPath = dir_.File("index.db");
    WriteFile(dir_.File("registry"), "[Base]\ndBACKUP_INDEX=" + indexPath + "\n");
    trhsm_test::ScopedEnv registry("KO_REGISTRY", dir_.File("registry"));
    {
      std::string error;
      auto index = trhsm::platform::BackupIndex::Open(
          indexPath, trhsm::platform::BackupIndex::Mode::kCreate, &error);
      EXPECT_NE(index, nullptr) << error;
      if (index == nullptr) return "";
      const char* names[] = {"/data/plain", "/home/alice/x y", "/srv/deep/file.bin", "/z"};
      for (int i = 0; i < 4; ++i) {
        trhsm::platform::BackupItem item;
        item.jobId = 12;
        item.archGroupId = 7;
        item.archFileId = 8 + i;
        item.archFileOffset = 1000 * i;
        item.fileSize = 100;
        item.fullFileName = names[i];
        item.inode = 4711 + static_cast<uint64_t>(i);
        EXPECT_TRUE(index->AddItem(item, &error)) << error;
      }
    }
    TRHSMCollectFileDBReader reader(args_, events_, false, "dbStubList", 0);
    EXPECT_EQ(reader.Initialize(), 1);
    return ReadFile(Path());
  }

  std::string Path() const { return collect_ + "dbStubList_12.kof"; }

  // Every item the reader yields from `text` as the job's collect file; a -1 result (a line
  // without a file name) goes on to the next line.
  std::vector<DbItem> Read(const std::string& text) {
    WriteFile(Path(), text);
    TRHSMCollectFileDBReader reader(args_, events_, false, "dbStubList", 0);
    EXPECT_EQ(reader.Initialize(), 1);
    EXPECT_EQ(reader.Open(), 1);
    std::vector<DbItem> items;
    HSMCollectFile item;
    std::string reparse;
    std::string meta;
    unsigned long inode;
    long long size;
    std::string status;
    for (int rc; (rc = reader.GetItem(item, reparse, meta, inode, size, status)) != 0;) {
      if (rc != 1) continue;
      const size_t bar = reparse.rfind('|');
      EXPECT_NE(bar, std::string::npos) << reparse;
      const long when = std::atol(reparse.c_str() + bar + 1);
      EXPECT_LE(std::labs(when - static_cast<long>(std::time(nullptr))), 5) << reparse;
      items.push_back({item.fileName, inode, meta, reparse.substr(0, bar + 1)});
      EXPECT_LT(items.size(), 100u);
      if (items.size() >= 100) break;
    }
    return items;
  }

  trhsm_test::LogCapture log_;  // keeps the readers' messages out of the test output
  ScratchDir dir_;
  std::string collect_;
  TRHSM_CMDLINE_ARGS args_;
  EvEvent events_;
};

TEST_F(DbCollectCorruption, EveryCutGivesTheWholeLinesItemsOnly) {
  const std::string good = QueryWrites();
  const std::vector<DbItem> items = Read(good);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[1],
            (DbItem{"/home/alice/x y", 4712, "4712", "1:3:7:9:1000:1:15:/home/alice/x y|"}));
  trhsm_test::ForEachTruncation(good, [&](const std::string& prefix) {
    SCOPED_TRACE("cut to " + std::to_string(prefix.size()) + " bytes");
    const size_t whole = Lines(prefix).size() - (prefix.empty() || prefix.back() == '\n' ? 0 : 1);
    EXPECT_EQ(Read(prefix), std::vector<DbItem>(items.begin(), items.begin() + whole));
  });
}

TEST_F(DbCollectCorruption, EveryFlipLosesOrChangesOnlyItsLine) {
  const std::string good = QueryWrites();
  const std::vector<DbItem> items = Read(good);
  ASSERT_EQ(items.size(), 4u);
  const std::vector<std::string> lines = Lines(good);
  int exact = 0;
  trhsm_test::ForEachBitFlip(good, [&](const std::string& damaged, BitFlip flip) {
    SCOPED_TRACE(flip.Describe(good));
    bool joined = false;
    const size_t line = LineOf(lines, flip.at, &joined);
    const std::vector<DbItem> got = Read(damaged);
    size_t start = 0;
    for (size_t i = 0; i < line; ++i) start += lines[i].size();

    // A flip that neither makes nor breaks a column, a quote, an escape or a line changes only
    // its own column: the item is the original one built again from the damaged column.
    const std::string special(",\"\\\n\r\t\0", 7);
    if (special.find(good[flip.at]) == std::string::npos &&
        special.find(damaged[flip.at]) == std::string::npos) {
      std::vector<std::string> columns;
      const std::string text = damaged.substr(start, lines[line].size() - 1);
      for (size_t from = 0, comma; from <= text.size(); from = comma + 1) {
        comma = text.find(',', from);
        if (comma == std::string::npos) comma = text.size();
        columns.push_back(text.substr(from, comma - from));
      }
      ASSERT_EQ(columns.size(), 7u);
      std::vector<DbItem> want = items;
      DbItem& w = want[line];
      w.name = columns[4];
      w.meta = columns[6];
      w.inode = static_cast<unsigned long>(std::strtoll(w.meta.c_str(), nullptr, 10));
      w.reparse = "1:3:" + columns[0] + ":" + columns[1] + ":" + columns[2] +
                  ":1:" + std::to_string(w.name.size()) + ":" + w.name + "|";
      EXPECT_EQ(got, want);
      ++exact;
      return;
    }
    std::vector<Item> asItems;
    std::vector<Item> originalItems;
    auto key = [](const DbItem& d) {
      return d.name + "\n" + d.meta + "\n" + d.reparse + "\n" + std::to_string(d.inode);
    };
    for (const DbItem& d : got) asItems.push_back({key(d), 0});
    for (const DbItem& d : items) originalItems.push_back({key(d), 0});
    const Item* fromDamage = nullptr;
    ExpectOnlyDamagedLinesDiffer(originalItems, line, joined, asItems, &fromDamage);
    if (fromDamage == nullptr) return;
    // The item of a damaged line: its name is bytes of that line, and its reparse text carries
    // that name with its length.
    const DbItem& d = got[static_cast<size_t>(fromDamage - asItems.data())];
    const size_t length =
        lines[line].size() + (joined && line + 1 < lines.size() ? lines[line + 1].size() : 0);
    const std::string region = damaged.substr(start, length);
    EXPECT_NE(region.find(d.name), std::string::npos) << d;
    const std::string tail = ":1:" + std::to_string(d.name.size()) + ":" + d.name + "|";
    ASSERT_GE(d.reparse.size(), tail.size());
    EXPECT_EQ(d.reparse.substr(d.reparse.size() - tail.size()), tail) << d;
  });
  // Most flips change one column only and have an exact result.
  EXPECT_GT(exact, static_cast<int>(good.size()) * 8 / 2);
}

}  // namespace
