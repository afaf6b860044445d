// The backup index and apiGetBackedUpItemsByJob: fill, query, tokenize back; failures leave no
// file.
#include "platform/backup_index.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/CZeString.h"
#include "trhsm/FsClientApi.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using trhsm_test::LogCapture;
using trhsm_test::ReadFile;
using trhsm_test::ScopedEnv;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

const char kSevenColumns[] =
    "arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,mod_time,metadata-";

// A scratch folder with an index in it and a registry that names it.
class IndexFixture : public ::testing::Test {
 protected:
  IndexFixture()
      : registry_("KO_REGISTRY", dir_.File("registry")),
        indexPath_(dir_.File("index.db")),
        collect_(dir_.path() + "/collect/") {
    WriteFile(dir_.File("registry"), "[Base]\ndBACKUP_INDEX=" + indexPath_ + "\n");
    EXPECT_EQ(::mkdir(collect_.c_str(), 0755), 0);
  }

  std::unique_ptr<BackupIndex> OpenIndex() {
    std::string error;
    auto index = BackupIndex::Open(indexPath_, BackupIndex::Mode::kCreate, &error);
    EXPECT_TRUE(index) << error;
    return index;
  }

  static BackupItem Item(int64_t job, const std::string& name, uint64_t inode) {
    BackupItem item;
    item.jobId = job;
    item.archGroupId = 3;
    item.archFileId = 1;
    item.archFileOffset = static_cast<int64_t>(inode) * 10;
    item.fileSize = static_cast<int64_t>(inode) + 100;
    item.fullFileName = name;
    item.modTime = 1700000000 + static_cast<int64_t>(inode);
    item.inode = inode;
    item.metadata = {{643422786, "GUID-" + name}, {5, "other"}};
    return item;
  }

  int Query(int64_t job, const std::string& name, const std::string& columns,
            const std::string& recordEnd = "\n") {
    return apiGetBackedUpItemsByJob(job, collect_, name, columns, "host", 2, 0, 0, ",", nullptr,
                                    nullptr, "|", recordEnd, "");
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR* d = ::opendir(collect_.c_str());
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    return names;
  }

  // The lines of a collect file, each tokenized as the reader does.
  static std::vector<std::vector<std::string>> Lines(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::vector<CZeString> tokens;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      CZeString(text.substr(start, nl - start)).Tokenize(tokens, '"', '"', '\\', ',', false);
      lines.emplace_back();
      for (const CZeString& t : tokens) lines.back().push_back(t.str());
    }
    EXPECT_EQ(start, text.size()) << "last line without a line feed";
    return lines;
  }

  ScratchDir dir_;
  ScopedEnv registry_;
  std::string indexPath_;
  std::string collect_;
};

const std::vector<std::string> kHostileNames = {
    "/data/plain file",  "/data/a,b,c", "/data/\"quoted\"", "/data/back\\slash",
    "/data/\\\",mix,\\", "/data/cr\r",  "/data/tab\t",      "/data/\xc3\xa9t\xff",
};

TEST_F(IndexFixture, QueryRoundTripsTheSevenColumns) {
  {
    auto index = OpenIndex();
    std::string error;
    ASSERT_TRUE(index->Begin(&error)) << error;
    uint64_t inode = 1;
    for (const std::string& name : kHostileNames) {
      ASSERT_TRUE(index->AddItem(Item(12, name, inode++), &error)) << error;
    }
    ASSERT_TRUE(index->AddItem(Item(13, "/other/job", 99), &error)) << error;
    BackupItem bare = Item(12, "/data/no metadata", 18446744073709551615ull);
    bare.metadata.clear();
    ASSERT_TRUE(index->AddItem(bare, &error)) << error;
    ASSERT_TRUE(index->Commit(&error)) << error;
  }

  LogCapture log;
  ASSERT_EQ(Query(12, "dbStubList_12.kof", std::string(kSevenColumns) + "1613830181"), 0)
      << log.Text();
  auto lines = Lines(ReadFile(collect_ + "dbStubList_12.kof"));
  ASSERT_EQ(lines.size(), kHostileNames.size() + 1);
  for (size_t i = 0; i < kHostileNames.size(); ++i) {
    const uint64_t inode = i + 1;
    std::vector<std::string> want = {"3",
                                     std::to_string(inode * 10),
                                     std::to_string(inode + 100),
                                     kHostileNames[i],
                                     std::to_string(1700000000 + inode),
                                     std::to_string(inode)};
    want.insert(want.begin() + 1, "1");
    EXPECT_EQ(lines[i], want) << i;
  }
  EXPECT_EQ(lines.back()[6], "18446744073709551615");

  // Application type 124: the GUID attribute, empty for an item without it.
  ASSERT_EQ(Query(12, "dbStubList_124.kof", std::string(kSevenColumns) + "643422786"), 0);
  lines = Lines(ReadFile(collect_ + "dbStubList_124.kof"));
  ASSERT_EQ(lines.size(), kHostileNames.size() + 1);
  EXPECT_EQ(lines[1][6], "GUID-/data/a,b,c");
  EXPECT_EQ(lines[2][4], "/data/\"quoted\"");
  EXPECT_EQ(lines.back()[6], "");
  EXPECT_EQ(lines.back().size(), 7u);

  // Any order, repeated columns.
  ASSERT_EQ(Query(13, "x.kof", "inode,job_id,metadata-5,full_file_name,metadata-5"), 0);
  EXPECT_EQ(ReadFile(collect_ + "x.kof"), "99,13,other,/other/job,other\n");
}

TEST_F(IndexFixture, ListJobGivesTheItemsBack) {
  auto index = OpenIndex();
  std::string error;
  ASSERT_TRUE(index->AddItem(Item(7, "/b", 2), &error)) << error;
  ASSERT_TRUE(index->AddItem(Item(7, "/a", 1), &error)) << error;
  std::vector<BackupItem> items;
  ASSERT_TRUE(index->ListJob(7, &items, &error)) << error;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].fullFileName, "/b");
  EXPECT_EQ(items[1].inode, 1u);
  EXPECT_EQ(items[1].modTime, 1700000001);
  using Meta = std::vector<std::pair<int64_t, std::string>>;
  EXPECT_EQ(items[1].metadata, (Meta{{5, "other"}, {643422786, "GUID-/a"}}));
  int64_t end = -1;
  ASSERT_TRUE(index->ArchiveEnd(7, 3, 1, &end, &error)) << error;
  EXPECT_EQ(end, 20 + 102);
  ASSERT_TRUE(index->ArchiveEnd(7, 4, 1, &end, &error)) << error;
  EXPECT_EQ(end, 0);
}

TEST_F(IndexFixture, AddItemRefusesWhatALineCannotCarry) {
  auto index = OpenIndex();
  std::string error;
  EXPECT_FALSE(index->AddItem(Item(1, "/a\nb", 1), &error));
  EXPECT_FALSE(index->AddItem(Item(1, "", 1), &error));
  EXPECT_FALSE(index->AddItem(Item(1, std::string("/a\0b", 4), 1), &error));
  BackupItem item = Item(1, "/ok", 1);
  item.metadata.push_back({trhsm::platform::kInodeAttribute, "1"});
  EXPECT_FALSE(index->AddItem(item, &error));
  item = Item(1, "/ok", 1);
  item.metadata.push_back({5, "again"});
  EXPECT_FALSE(index->AddItem(item, &error));
  EXPECT_NE(error.find("given twice"), std::string::npos) << error;
  item = Item(1, "/ok", 1);
  item.metadata[0].second = "two\nlines";
  EXPECT_FALSE(index->AddItem(item, &error));
  std::vector<BackupItem> items;
  ASSERT_TRUE(index->ListJob(1, &items, &error));
  EXPECT_TRUE(items.empty());
}

TEST_F(IndexFixture, FailedInsertLeavesTheIndexUsable) {
  {
    std::string error;
    ASSERT_TRUE(OpenIndex()->AddItem(Item(1, "/kept", 1), &error)) << error;
  }
  std::string error;
  auto reader = BackupIndex::Open(indexPath_, BackupIndex::Mode::kReadOnly, &error);
  ASSERT_TRUE(reader) << error;
  EXPECT_FALSE(reader->AddItem(Item(1, "/refused", 2), &error));
  EXPECT_NE(error.find("readonly"), std::string::npos) << error;
  std::vector<BackupItem> items;
  ASSERT_TRUE(reader->ListJob(1, &items, &error)) << error;
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].fullFileName, "/kept");
  // The failed attempt left no transaction behind that would block a writer.
  auto writer = OpenIndex();
  EXPECT_TRUE(writer->AddItem(Item(1, "/later", 3), &error)) << error;
}

TEST_F(IndexFixture, NoItemsGivesAnEmptyFile) {
  OpenIndex();
  ASSERT_EQ(Query(5, "empty.kof", "full_file_name"), 0);
  EXPECT_EQ(::access((collect_ + "empty.kof").c_str(), F_OK), 0);
  EXPECT_EQ(ReadFile(collect_ + "empty.kof"), "");
}

TEST_F(IndexFixture, BadQueriesFailAndLeaveNoFile) {
  {
    std::string error;
    ASSERT_TRUE(OpenIndex()->AddItem(Item(1, "/a", 1), &error)) << error;
  }
  LogCapture log;
  EXPECT_LT(Query(1, "f.kof", "full_file_name,size"), 0);
  EXPECT_TRUE(log.Contains("Unknown column 'size'")) << log.Text();
  EXPECT_LT(Query(1, "f.kof", "metadata-"), 0);
  EXPECT_LT(Query(1, "f.kof", "metadata-12x"), 0);
  EXPECT_LT(Query(1, "f.kof", "metadata--5"), 0);
  EXPECT_LT(Query(1, "f.kof", ""), 0);
  EXPECT_LT(Query(1, "f.kof", "full_file_name,"), 0);
  EXPECT_LT(Query(1, "", "full_file_name"), 0);
  EXPECT_LT(Query(1, "f.kof", "full_file_name", ""), 0);
  EXPECT_LT(apiGetBackedUpItemsByJob(1, collect_, "f.kof", "inode", "", 2, 0, 0, "\"", nullptr,
                                     nullptr, "|", "\n", ""),
            0);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(IndexFixture, MissingIndexFailsAndCreatesNothing) {
  LogCapture log;
  EXPECT_LT(Query(1, "f.kof", "inode"), 0);  // the registry names a file that does not exist
  EXPECT_NE(::access(indexPath_.c_str(), F_OK), 0);
  WriteFile(indexPath_, "this is not a database, just some text that is long enough\n");
  EXPECT_LT(Query(1, "f.kof", "inode"), 0);
  WriteFile(dir_.File("registry"), "[Base]\n");
  EXPECT_LT(Query(1, "f.kof", "inode"), 0);
  EXPECT_TRUE(log.Contains("No backup index configured")) << log.Text();
  EXPECT_TRUE(Entries().empty());
}

TEST_F(IndexFixture, ItemThatWouldSpanTwoRecordsIsLeftOut) {
  {
    auto index = OpenIndex();
    std::string error;
    ASSERT_TRUE(index->AddItem(Item(1, "/a|b", 1), &error)) << error;
    ASSERT_TRUE(index->AddItem(Item(1, "/c", 2), &error)) << error;
  }
  LogCapture log;
  ASSERT_EQ(Query(1, "bar.kof", "inode,full_file_name", "|"), 0);
  EXPECT_EQ(ReadFile(collect_ + "bar.kof"), "2,/c|");
  EXPECT_TRUE(log.Contains("left out")) << log.Text();
}

TEST_F(IndexFixture, MissingCollectFolderFails) {
  OpenIndex();
  EXPECT_LT(apiGetBackedUpItemsByJob(1, dir_.path() + "/nowhere/", "f.kof", "inode", "", 2, 0, 0,
                                     ",", nullptr, nullptr, "|", "\n", ""),
            0);
}

// A write that fails part-way (the file-size limit stands in for a full disk) must leave the old
// file untouched and no temporary file behind; a later whole run replaces it.
TEST_F(IndexFixture, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  {
    auto index = OpenIndex();
    std::string error;
    ASSERT_TRUE(index->Begin(&error)) << error;
    for (uint64_t i = 0; i < 40000; ++i) {
      ASSERT_TRUE(index->AddItem(Item(9, "/big/file-number-" + std::to_string(i), i), &error))
          << error;
    }
    ASSERT_TRUE(index->Commit(&error)) << error;
  }
  const std::string target = collect_ + "dbStubList_9.kof";
  WriteFile(target, "old,content\n");
  const std::string columns = std::string(kSevenColumns) + "1613830181";

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1 << 16, 1 << 16};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    _exit(Query(9, "dbStubList_9.kof", columns) < 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the query did not report the failed write";
  EXPECT_EQ(ReadFile(target), "old,content\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"dbStubList_9.kof"});

  ASSERT_EQ(Query(9, "dbStubList_9.kof", columns), 0);
  auto lines = Lines(ReadFile(target));
  ASSERT_EQ(lines.size(), 40000u);
  EXPECT_EQ(lines[39999][4], "/big/file-number-39999");
  EXPECT_EQ(lines[39999][6], "39999");
  EXPECT_EQ(Entries(), std::vector<std::string>{"dbStubList_9.kof"});
}

}  // namespace
