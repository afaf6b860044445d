// The tree algebra: containment at component boundaries, the mount-point rule, and list edits.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "migrated/tree_algebra.h"

namespace {

namespace mig = trhsm::migrated;
using Trees = std::list<std::string>;

mig::MountList Mounts(std::initializer_list<const char*> points) {
  mig::MountList mounts;
  for (const char* point : points) {
    KoMntTab::Entry e;
    e.device = std::string("dev") + point;
    e.mountPoint = point;
    e.fsType = "ext4";
    mounts.push_back(e);
  }
  return mounts;
}

bool Holds(const char* parent, const char* path) { return mig::isSubDir(parent, path, "", 0); }

TEST(IsSubDir, ComponentBoundaries) {
  EXPECT_TRUE(Holds("/data", "/data"));
  EXPECT_TRUE(Holds("/data", "/data/x/y"));
  EXPECT_TRUE(Holds("/data", "/data/"));
  EXPECT_FALSE(Holds("/data", "/database"));
  EXPECT_FALSE(Holds("/data", "/dat"));
  EXPECT_FALSE(Holds("/data/x", "/data"));
  // Trailing slashes of the parent do not count; of the path they do not matter.
  EXPECT_TRUE(Holds("/data//", "/data/x"));
  EXPECT_TRUE(Holds("/data/", "/data"));
  EXPECT_FALSE(Holds("/data/", "/database"));
  // The root holds every absolute path, and only "/" is the root.
  EXPECT_TRUE(Holds("/", "/anything/at/all"));
  EXPECT_TRUE(Holds("//", "/x"));
  EXPECT_FALSE(Holds("/", "relative"));
}

TEST(IsSubDir, ParentMustBeginWithTheMount) {
  EXPECT_FALSE(mig::isSubDir("/", "/data/x", "/data", 5));
  EXPECT_TRUE(mig::isSubDir("/data", "/data/x", "/data", 5));
  EXPECT_TRUE(mig::isSubDir("/data/x", "/data/x/y", "/data", 5));
  // A plain prefix test, as the mount length says: "/database" begins with "/data".
  EXPECT_TRUE(mig::isSubDir("/database", "/database/x", "/data", 5));
  EXPECT_TRUE(mig::isSubDir("/", "/x", "/", 1));
}

TEST(GetMount, LongestHoldingMountPoint) {
  mig::MountList mounts = Mounts({"/", "/data", "/data/nfs"});
  EXPECT_EQ("/data/nfs", mig::getMount("/data/nfs/x", mounts));
  EXPECT_EQ("/data", mig::getMount("/data/x", mounts));
  EXPECT_EQ("/", mig::getMount("/database", mounts));
  EXPECT_EQ("", mig::getMount("relative/path", mounts));
  EXPECT_EQ("", mig::getMount("/x", {}));
}

TEST(FindContainingTree, OneFileSystem) {
  mig::MountList mounts = Mounts({"/"});
  Trees trees{"/other", "/data", "/data/x"};
  const std::string* found = mig::FindContainingTree(trees, mounts, "/data/x/y");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("/data", *found);  // the first holding tree in list order wins
  ASSERT_NE(nullptr, mig::FindContainingTree(trees, mounts, "/data/"));
  EXPECT_EQ(nullptr, mig::FindContainingTree(trees, mounts, "/database"));
  EXPECT_EQ(nullptr, mig::FindContainingTree({"/"}, mig::MountList(), "relative"));
}

TEST(FindContainingTree, NeverAcrossAMountPoint) {
  mig::MountList mounts = Mounts({"/", "/data"});
  EXPECT_EQ(nullptr, mig::FindContainingTree({"/"}, mounts, "/data/x"));
  EXPECT_EQ(nullptr, mig::FindContainingTree({"/"}, mounts, "/data"));
  EXPECT_NE(nullptr, mig::FindContainingTree({"/"}, mounts, "/etc/x"));
  EXPECT_NE(nullptr, mig::FindContainingTree({"/", "/data"}, mounts, "/data/x"));
}

TEST(AnyTreeAtOrBelow, UsesEachTreesOwnFileSystem) {
  mig::MountList mounts = Mounts({"/", "/data/nfs"});
  Trees trees{"/data/nfs/x"};
  EXPECT_FALSE(mig::AnyTreeAtOrBelow(trees, mounts, "/data"));
  EXPECT_TRUE(mig::AnyTreeAtOrBelow(trees, mounts, "/data/nfs"));
  EXPECT_TRUE(mig::AnyTreeAtOrBelow(trees, mounts, "/data/nfs/x"));
  EXPECT_FALSE(mig::AnyTreeAtOrBelow(trees, mounts, "/data/nfs/x/y"));
  EXPECT_TRUE(mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/"));
  EXPECT_FALSE(mig::AnyTreeAtOrBelow({"/home/u"}, mounts, "/ho"));
}

TEST(AddTreeTo, ReplacesHeldTreesAndIgnoresCoveredOnes) {
  mig::MountList mounts = Mounts({"/"});
  Trees trees{"/a/b", "/z", "/a/c", "/ab"};
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/a"));
  EXPECT_EQ((Trees{"/z", "/ab", "/a"}), trees);
  EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, "/a/b/c"));
  EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, "/a/"));
  EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, "/a"));
  EXPECT_EQ((Trees{"/z", "/ab", "/a"}), trees);
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/"));
  EXPECT_EQ((Trees{"/"}), trees);
}

TEST(AddTreeTo, MountPointsSeparateTrees) {
  mig::MountList mounts = Mounts({"/", "/mnt/fs"});
  // A recorded tree on a file system mounted below the new tree survives it.
  Trees trees{"/mnt/fs/x", "/mnt/y"};
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/mnt"));
  EXPECT_EQ((Trees{"/mnt/fs/x", "/mnt"}), trees);
  // A new tree on a file system mounted below a recorded tree is added.
  EXPECT_TRUE(mig::AddTreeTo(&trees, mounts, "/mnt/fs/other"));
  EXPECT_EQ((Trees{"/mnt/fs/x", "/mnt", "/mnt/fs/other"}), trees);
  // ... and one on the recorded tree's own file system is not.
  EXPECT_FALSE(mig::AddTreeTo(&trees, mounts, "/mnt/plain"));
}

TEST(DelTreeFrom, ExactBytesFirstMatchOnly) {
  Trees trees{"/a", "/a/b", "/c"};
  EXPECT_FALSE(mig::DelTreeFrom(&trees, "/a/"));
  EXPECT_FALSE(mig::DelTreeFrom(&trees, "/"));
  EXPECT_TRUE(mig::DelTreeFrom(&trees, "/a"));
  EXPECT_EQ((Trees{"/a/b", "/c"}), trees);
}

}  // namespace
