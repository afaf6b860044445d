// The list's records (exact bytes, damaged lines and their reasons, the line-buffer boundary) and
// the tree algebra (component boundaries, never across a mount point), one table each. Any input's
// safety (never a cut tree) is the fuzz target's (migrated_list).
#include <gtest/gtest.h>

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

  std::string why;
  EXPECT_TRUE(mig::IsRecordable(longest, &why));
  for (const auto& [path, reason] : std::vector<std::pair<std::string, std::string>>{
           {"", "an empty path cannot be recorded"},
           {"/a|b", "a path holding '|' cannot be recorded"},
           {"/a\nb", "a path holding a line feed cannot be recorded"},
           {std::string("/a\0b", 4), "a path holding a NUL byte cannot be recorded"},
           {longest + "q", "a path longer than 4091 bytes cannot be recorded"}}) {
    EXPECT_FALSE(mig::IsRecordable(path, &why));
    EXPECT_EQ(why, reason);
  }
  const char bytes[] = "ab|cd|";  // a field ends at its separator, which is consumed, or the limit
  const char* p = bytes;
  EXPECT_EQ(mig::getToken(p, bytes + 5), "ab");
  EXPECT_EQ(mig::getToken(p, bytes + 5), "cd");
  EXPECT_EQ(p, bytes + 5);
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
  const struct {
    const char *parent, *path, *mount;
    bool holds;
  } rows[] = {
      {"/data", "/data", "", true},
      {"/data", "/data/x/y", "", true},
      {"/data", "/data/", "", true},
      {"/data", "/database", "", false},
      {"/data", "/dat", "", false},
      {"/data/x", "/data", "", false},
      {"/data//", "/data/x", "", true},
      {"/data/", "/data", "", true},
      {"/data/", "/database", "", false},
      {"/", "/any/thing", "", true},
      {"//", "/x", "", true},
      {"/", "relative", "", false},
      {"/", "/data/x", "/data", false},
      {"/data/x", "/data/x/y", "/data", true},
      {"/database", "/database/x", "/data", true},  // a plain prefix test of the mount
  };
  for (const auto& r : rows) {
    EXPECT_EQ(mig::isSubDir(r.parent, r.path, r.mount, static_cast<int>(std::strlen(r.mount))),
              r.holds)
        << r.parent << " " << r.path << " " << r.mount;
  }
  const mig::MountList mounts = Mounts({"/", "/data", "/data/nfs"});
  EXPECT_EQ(mig::getMount("/data/nfs/x", mounts), "/data/nfs");
  EXPECT_EQ(mig::getMount("/database", mounts), "/");
  EXPECT_EQ(mig::getMount("relative", mounts), "");

  const Trees trees{"/other", "/data", "/data/x", "/"};
  const std::string* found = mig::FindContainingTree(trees, mounts, "/data/x/y");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(*found, "/data");  // the first holding tree in list order
  EXPECT_EQ(mig::FindContainingTree(trees, mounts, "/data/nfs/y"), nullptr);
  EXPECT_EQ(*mig::FindContainingTree(trees, mounts, "/etc"), "/");
  EXPECT_EQ(mig::FindContainingTree({"/"}, Mounts({}), "relative"), nullptr);
  const Trees nfs{"/data/nfs/x"};
  for (const auto& [path, any] :
       std::vector<std::pair<const char*, bool>>{{"/data", false},
                                                 {"/data/nfs", true},
                                                 {"/data/nfs/x", true},
                                                 {"/data/nfs/x/y", false}}) {
    EXPECT_EQ(mig::AnyTreeAtOrBelow(nfs, mounts, path), any) << path;
  }
  EXPECT_TRUE(mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/"));
  EXPECT_FALSE(mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/ho"));
}

TEST(TreeAlgebra, EditsReplaceHeldTreesOnTheirOwnFileSystem) {
  const mig::MountList mounts = Mounts({"/", "/mnt/fs"});
  Trees trees{"/a/b", "/z", "/a/c", "/ab", "/mnt/fs/x", "/mnt/y"};
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/a"));
  for (const char* covered : {"/a/b/c", "/a/", "/a", "/mnt/y/q"}) {
    EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, covered)) << covered;
  }
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
