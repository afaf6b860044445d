// The tree algebra of the migrated-tree list: containment that never reaches across a mount point.
#ifndef TRHSM_MIGRATED_TREE_ALGEBRA_H_
#define TRHSM_MIGRATED_TREE_ALGEBRA_H_

#include <list>
#include <string>

#include "trhsm/KoMntTab.h"

namespace trhsm {
namespace migrated {

using MountList = std::list<KoMntTab::Entry>;

// The mount point of the file system in `mounts` that holds `path`, or "" when none does.
std::string getMount(const char* path, const MountList& mounts);

// True when `path` is `parent` or lies below it (trailing slashes of parent ignored, a lone "/"
// kept; /data holds /data/x but not /database), and the first mountLength bytes of `parent` equal
// those of `mount` (always, for mountLength 0). REQUIRES: all three texts non-null.
bool isSubDir(const char* parent, const char* path, const char* mount, int mountLength);

// The first tree in list order that holds `path` on path's own file system, or null.
const std::string* FindContainingTree(const std::list<std::string>& trees, const MountList& mounts,
                                      const char* path);

// True when some tree lies at or below `path` and `path` lies on that tree's file system.
bool AnyTreeAtOrBelow(const std::list<std::string>& trees, const MountList& mounts,
                      const char* path);

// Records `tree` unless a tree already holds it; trees it holds (on their own file systems) are
// removed and it is appended. Returns true when the list changed.
bool AddTreeTo(std::list<std::string>* trees, const MountList& mounts, const std::string& tree);

// Removes the first tree byte-for-byte equal to `tree`; true when one was removed.
bool DelTreeFrom(std::list<std::string>* trees, const std::string& tree);

}  // namespace migrated
}  // namespace trhsm

#endif  // TRHSM_MIGRATED_TREE_ALGEBRA_H_
