// The backup index as trhsm-index fills and lists it and the collect reader queries it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/registered_index.h"
#include "trhsm/CZeString.h"
#include "trhsm/FsClientApi.h"

namespace {

using trhsm::platform::BackupIndex;
using trhsm::platform::BackupItem;
using Metadata = std::vector<std::pair<int64_t, std::string>>;

BackupItem Item(const std::string& name, uint64_t inode, Metadata metadata) {
  return {12, 3, 1, static_cast<int64_t>(inode) * 10, 100, name, 1700000000, inode, metadata};
}

int Query(const std::string& folder, const std::string& columns) {
  return apiGetBackedUpItemsByJob(12, folder, "l.kof", columns, "host", 2, 0, 0, ",", nullptr,
                                  nullptr, "|", "\n", "");
}

// Names through AddItem, then back through the query's collect file and Tokenize, field for field.
TEST(BackupIndexTest, ItemsComeBackExactly) {
  const std::vector<std::string> names = {"/plain file",  "/a,b",  "/\"q\"",        "/back\\slash",
                                          "/\\\",mix,\\", "/cr\r", "/t\xc3\xa9\xff"};
  std::vector<BackupItem> items;
  for (size_t i = 0; i < names.size(); ++i) {
    items.push_back(Item(names[i], i + 1, {{643422786, "GUID-" + names[i]}, {5, "other"}}));
  }
  items.push_back(Item("/bare", 18446744073709551615ull, {}));
  trhsm_test::ScratchDir dir;
  trhsm_test::RegisteredIndex registered(dir, items);
  std::string error;
  auto index = BackupIndex::Open(registered.path(), BackupIndex::Mode::kCreate, &error);
  ASSERT_TRUE(index) << error;
  // What a collect-file line could not carry is refused, and nothing of it stored.
  for (const BackupItem& refused :
       {Item("", 1, {}), Item("/a\nb", 1, {}), Item(std::string("/a\0b", 4), 1, {}),
        Item("/ok", 1, {{5, "two\nlines"}}), Item("/ok", 1, {{5, "x"}, {5, "y"}}),
        Item("/ok", 1, {{trhsm::platform::kInodeAttribute, "1"}})}) {
    EXPECT_FALSE(index->AddItem(refused, &error)) << refused.fullFileName;
  }
  std::vector<BackupItem> listed;
  ASSERT_TRUE(index->ListJob(12, &listed, &error)) << error;
  ASSERT_EQ(listed.size(), items.size());
  EXPECT_EQ(listed[1].metadata, (Metadata{{5, "other"}, {643422786, "GUID-/a,b"}}));

  // Columns that the index does not have fail the query, which then leaves no file.
  for (const char* columns : {"full_file_name,size", "metadata-", "metadata-12x", ""}) {
    EXPECT_LT(Query(dir.path() + "/", columns), 0) << columns;
  }
  EXPECT_NE(::access(dir.File("l.kof").c_str(), F_OK), 0);
  ASSERT_EQ(0, Query(dir.path() + "/",
                     "arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,mod_time,"
                     "metadata-1613830181,metadata-643422786,inode"));
  const std::string text = trhsm_test::ReadFile(dir.File("l.kof"));
  std::vector<CZeString> tokens;
  size_t start = 0, i = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1, ++i) {
    CZeString(text.substr(start, nl - start)).Tokenize(tokens, '"', '"', '\\', ',', false);
    std::vector<std::string> got;
    for (const CZeString& t : tokens) got.push_back(t.str());
    const BackupItem& want = items.at(i);
    const std::string inode = std::to_string(want.inode);
    EXPECT_EQ(got, (std::vector<std::string>{"3", "1", std::to_string(want.archFileOffset), "100",
                                             want.fullFileName, "1700000000", inode,
                                             i < names.size() ? "GUID-" + names[i] : "", inode}));
  }
  EXPECT_EQ(i, items.size());
  EXPECT_EQ(start, text.size());
}

}  // namespace
