// The list's records (exact bytes, damaged lines and their reasons, the line-buffer boundary) and
// the tree algebra (component boundaries, never across a mount point). Safety on any input (never
// a cut tree) is the fuzz target's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_format.h"

namespace {

namespace mig = trhsm::migrated;
using Trees = std::list<std::string>;
using Texts = std::vector<std::string>;

TEST(TreeList, RecordsDamagedLinesAndTheLineBufferBoundary) {
  const std::string longest = "/" + std::string(trhsm::tree_list::kMaxTreeLength - 1, 'p');
  Texts problems;
  const Trees trees =
      mig::ParseTreeList("1|/a/b|\n2|/a|\n1||\nx\n\n1\n|/c|\n1|/d|junk|more\n1|/e|\r\n1|/cut\n" +
                             std::string("1|/n\0l|\n", 8) + "1|" + longest + "|\n1|" + longest +
                             "q|\n1|" + std::string(4093, 'z') + "1|/hidden|\n1|/last",
                         &problems);
  EXPECT_EQ(trees, (Trees{"/a/b", "/e", longest}));
  EXPECT_EQ(problems, (Texts{"line 8 dropped: bytes after the closing '|'",
                             "line 10 dropped: record has no closing '|'",
                             "line 11 dropped: tree path holds a NUL byte",
                             "line 13 dropped: line of 4096 bytes is longer than a record can be",
                             "line 14 dropped: line of 4106 bytes is longer than a record can be",
                             "line 15 dropped: record has no closing '|'"}));
  EXPECT_TRUE(mig::ParseTreeList("", &problems).empty());

  EXPECT_EQ(mig::FormatTreeList({"/a/b", "/"}), "1|/a/b|\n1|/|\n");
  EXPECT_EQ(mig::FormatTreeList({longest}).size(), trhsm::tree_list::kMaxRecordLength);
  const Trees odd{"/with space", "/tab\there", "/utf8/\xc3\xa9", "/trailing/", "rel", "//d"};
  EXPECT_EQ(mig::ParseTreeList(mig::FormatTreeList(odd), nullptr), odd);

  std::string why, whys;
  EXPECT_TRUE(mig::IsRecordable(longest, &why));
  for (const std::string& path : {std::string(), std::string("/a|b"), std::string("/a\nb"),
                                  std::string("/a\0b", 4), longest + "q"}) {
    EXPECT_FALSE(mig::IsRecordable(path, &why));
    whys += why + "\n";
  }
  EXPECT_EQ(
      whys,
      "an empty path cannot be recorded\na path holding '|' cannot be recorded\na path holding "
      "a line feed cannot be recorded\na path holding a NUL byte cannot be recorded\na path "
      "longer than 4091 bytes cannot be recorded\n");
  const char bytes[] = "ab|cd|";  // a field ends at its separator, which is consumed, or the limit
  const char* p = bytes;
  std::string tokens = mig::getToken(p, bytes + 5);
  tokens += mig::getToken(p, bytes + 5);
  EXPECT_EQ(tokens + std::to_string(p - bytes), "abcd5");
}

mig::MountList Mounts(std::initializer_list<const char*> points) {
  mig::MountList mounts;
  for (const char* point : points) {
    KoMntTab::Entry e;
    e.mountPoint = point;
    e.fsType = "ext4";
    mounts.push_back(e);
  }
  return mounts;
}

TEST(TreeAlgebra, ContainmentStopsAtComponentsAndMountPoints) {
  // "parent path mount 1": parent holds path, mount its mount point ("-": empty) (a plain prefix).
  for (const char* row :
       {"/data /data - 1", "/data /data/x/y - 1", "/data /data/ - 1", "/data /database - 0",
        "/data /dat - 0", "/data/x /data - 0", "/data// /data/x - 1", "/data/ /data - 1",
        "/data/ /database - 0", "/ /any/thing - 1", "// /x - 1", "/ relative - 0", "/ - - 0",
        "/ /data/x /data 0", "/data/x /data/x/y /data 1", "/database /database/x /data 1"}) {
    char parent[32], path[32], mount[32];
    ASSERT_EQ(std::sscanf(row, "%31s %31s %31s", parent, path, mount), 3);
    for (char* field : {path, mount}) field[field[0] == '-' ? 0 : 31] = '\0';
    const bool holds = mig::isSubDir(parent, path, mount, static_cast<int>(std::strlen(mount)));
    EXPECT_EQ(row[std::strlen(row) - 1] == '1', holds) << row;
  }
  const mig::MountList mounts = Mounts({"/", "/data", "/data/nfs"});
  EXPECT_EQ(mig::getMount("/data/nfs/x", mounts) + "|" + mig::getMount("/database", mounts) + "|" +
                mig::getMount("relative", mounts),
            "/data/nfs|/|");

  const Trees trees{"/other", "/data", "/data/x", "/"};
  const std::string* found = mig::FindContainingTree(trees, mounts, "/data/x/y");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, "/data");  // the first holding tree in list order
  EXPECT_EQ(mig::FindContainingTree(trees, mounts, "/data/nfs/y"), nullptr);
  EXPECT_EQ(*mig::FindContainingTree(trees, mounts, "/etc"), "/");
  EXPECT_EQ(mig::FindContainingTree({"/"}, Mounts({}), "relative"), nullptr);
  std::string any;
  for (const char* path : {"/data", "/data/nfs", "/data/nfs/x", "/data/nfs/x/y"})
    any += mig::AnyTreeAtOrBelow({"/data/nfs/x"}, mounts, path) ? "1" : "0";
  any += mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/") ? "1" : "0";
  EXPECT_EQ(any + (mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/ho") ? "1" : "0"), "011010");
}

TEST(TreeAlgebra, EditsReplaceHeldTreesOnTheirOwnFileSystem) {
  const mig::MountList mounts = Mounts({"/", "/mnt/fs"});
  Trees trees{"/a/b", "/z", "/a/c", "/ab", "/mnt/fs/x", "/mnt/y"};
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/a"));
  for (const char* covered : {"/a/b/c", "/a/", "/a", "/mnt/y/q"})
    EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, covered)) << covered;
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/mnt"));  // /mnt/fs/x lies on another file system
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/mnt/fs/other"));
  EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, "/mnt/plain"));
  EXPECT_EQ(trees, (Trees{"/z", "/ab", "/mnt/fs/x", "/a", "/mnt", "/mnt/fs/other"}));
  EXPECT_FALSE(mig::DelTreeFrom(&trees, "/a/"));
  EXPECT_TRUE(mig::DelTreeFrom(&trees, "/a"));
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/"));
  EXPECT_EQ(trees, (Trees{"/mnt/fs/x", "/mnt/fs/other", "/"}));
}

}  // namespace
