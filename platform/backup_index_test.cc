// The backup index as the tools fill it and the collect reader queries it.
#include "platform/backup_index.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/CZeString.h"
#include "trhsm/FsClientApi.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;

BackupItem Item(const std::string& name, uint64_t inode) {
  return {12,   3,          1,     static_cast<int64_t>(inode) * 10,           100,
          name, 1700000000, inode, {{643422786, "GUID-" + name}, {5, "other"}}};
}

// Names through AddItem, then back through the query's collect file and Tokenize, field for field.
TEST(BackupIndexTest, ItemsComeBackExactly) {
  trhsm_test::ScratchDir dir;
  trhsm_test::ScopedEnv registry("KO_REGISTRY", dir.File("registry"));
  trhsm_test::WriteFile(dir.File("registry"), "[Base]\ndBACKUP_INDEX=" + dir.File("i.db") + "\n");
  const std::vector<std::string> names = {"/plain file",  "/a,b",  "/\"q\"",        "/back\\slash",
                                          "/\\\",mix,\\", "/cr\r", "/t\xc3\xa9\xff"};
  std::string error;
  auto index = BackupIndex::Open(dir.File("i.db"), BackupIndex::Mode::kCreate, &error);
  ASSERT_TRUE(index && index->Begin(&error)) << error;
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(index->AddItem(Item(names[i], i + 1), &error)) << error;
  }
  BackupItem bare = Item("/bare", 18446744073709551615ull);
  bare.metadata.clear();
  ASSERT_TRUE(index->AddItem(bare, &error) && index->Commit(&error)) << error;
  // What a collect-file line could not carry is refused.
  for (const std::string& name : {std::string(), std::string("/a\nb"), std::string("/a\0b", 4)}) {
    EXPECT_FALSE(index->AddItem(Item(name, 1), &error)) << name;
  }
  BackupItem bad = Item("/ok", 1);
  bad.metadata = {{5, "two\nlines"}};
  EXPECT_FALSE(index->AddItem(bad, &error));
  for (const int64_t repeated : {int64_t{5}, trhsm::platform::kInodeAttribute}) {
    bad.metadata = {{5, "x"}, {repeated, "1"}};
    EXPECT_FALSE(index->AddItem(bad, &error)) << repeated;
  }
  std::vector<BackupItem> listed;
  ASSERT_TRUE(index->ListJob(12, &listed, &error)) << error;
  ASSERT_EQ(listed.size(), names.size() + 1);
  EXPECT_EQ(listed[1].fullFileName, names[1]);
  EXPECT_EQ(listed[1].metadata, (decltype(bad.metadata){{5, "other"}, {643422786, "GUID-/a,b"}}));

  const std::string collect = dir.path() + "/";
  ASSERT_EQ(0, apiGetBackedUpItemsByJob(12, collect, "l.kof",
                                        "arch_group_id,arch_file_id,arch_file_offs,file_size,"
                                        "full_file_name,mod_time,metadata-1613830181,metadata-"
                                        "643422786,inode",
                                        "host", 2, 0, 0, ",", nullptr, nullptr, "|", "\n", ""));
  const std::string text = trhsm_test::ReadFile(collect + "l.kof");
  std::vector<CZeString> tokens;
  size_t start = 0, i = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++i) {
    CZeString(text.substr(start, nl - start)).Tokenize(tokens, '"', '"', '\\', ',', false);
    const BackupItem want = i < names.size() ? Item(names[i], i + 1) : bare;
    std::vector<std::string> got;
    for (const CZeString& t : tokens) got.push_back(t.str());
    const std::string inode = std::to_string(want.inode);
    EXPECT_EQ(got, (std::vector<std::string>{"3", "1", std::to_string(want.archFileOffset), "100",
                                             want.fullFileName, "1700000000", inode,
                                             i < names.size() ? "GUID-" + names[i] : "", inode}));
  }
  EXPECT_EQ(i, names.size() + 1);
  EXPECT_EQ(start, text.size());
  // Queries the index cannot answer fail and leave no file.
  for (const char* columns : {"full_file_name,size", "metadata-", "metadata-12x", ""}) {
    EXPECT_LT(apiGetBackedUpItemsByJob(12, collect, "f.kof", columns, "", 2, 0, 0, ",", nullptr,
                                       nullptr, "|", "\n", ""),
              0)
        << columns;
  }
  EXPECT_NE(::access((collect + "f.kof").c_str(), F_OK), 0);
}

}  // namespace
