// Containment tests and edits of the migrated-tree list.
#include "migrated/tree_algebra.h"

#include <cstring>

namespace trhsm {
namespace migrated {

std::string getMount(const char* path, const MountList& mounts) {
  const KoMntTab::Entry* entry = KoMntTab::find(mounts, path);
  return entry != nullptr ? entry->mountPoint : std::string();
}

namespace {

// isSubDir with parent's length known, so a scan over std::strings measures no text twice.
bool HoldsPath(const char* parent, size_t parentLength, const char* path, const char* mount,
               size_t mountLength) {
  size_t n = parentLength;
  while (n > 1 && parent[n - 1] == '/') --n;
  // strncmp stops at a shorter path's NUL, which then differs from parent's byte.
  if (std::strncmp(path, parent, n) != 0) return false;
  const bool parentIsRoot = n == 1 && parent[0] == '/';
  if (!parentIsRoot && path[n] != '\0' && path[n] != '/') return false;
  return mountLength == 0 || std::strncmp(mount, parent, mountLength) == 0;
}

}  // namespace

bool isSubDir(const char* parent, const char* path, const char* mount, int mountLength) {
  return HoldsPath(parent, std::strlen(parent), path, mount,
                   mountLength > 0 ? static_cast<size_t>(mountLength) : 0);
}

const std::string* FindContainingTree(const std::list<std::string>& trees, const MountList& mounts,
                                      const char* path) {
  const std::string mount = getMount(path, mounts);
  for (const std::string& tree : trees) {
    if (HoldsPath(tree.c_str(), tree.size(), path, mount.c_str(), mount.size())) return &tree;
  }
  return nullptr;
}

bool AnyTreeAtOrBelow(const std::list<std::string>& trees, const MountList& mounts,
                      const char* path) {
  const size_t pathLength = std::strlen(path);
  for (const std::string& tree : trees) {
    const std::string mount = getMount(tree.c_str(), mounts);
    if (HoldsPath(path, pathLength, tree.c_str(), mount.c_str(), mount.size())) return true;
  }
  return false;
}

bool AddTreeTo(std::list<std::string>* trees, const MountList& mounts, const std::string& tree) {
  if (FindContainingTree(*trees, mounts, tree.c_str()) != nullptr) return false;
  for (auto it = trees->begin(); it != trees->end();) {
    const std::string mount = getMount(it->c_str(), mounts);
    if (HoldsPath(tree.c_str(), tree.size(), it->c_str(), mount.c_str(), mount.size())) {
      it = trees->erase(it);
    } else {
      ++it;
    }
  }
  trees->push_back(tree);
  return true;
}

bool DelTreeFrom(std::list<std::string>* trees, const std::string& tree) {
  for (auto it = trees->begin(); it != trees->end(); ++it) {
    if (*it == tree) {
      trees->erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace migrated
}  // namespace trhsm
