// TRHSMMigratedDirTrees: the per-client list of migrated trees in held or transaction mode.
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "migrated/tree_list_format.h"
#include "trhsm/EvDebug.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoException.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace mig = trhsm::migrated;

namespace {

constexpr const char kSourceUnit[] = "TRHSMMigratedDirTrees";
constexpr const char kCtorTag[] = "TRHSMMigratedDirTrees::TRHSMMigratedDirTrees(bool, const char*)";
constexpr const char kLoadTag[] = "TRHSMMigratedDirTrees::loadList";
constexpr const char kSaveTag[] = "TRHSMMigratedDirTrees::saveList";
constexpr const char kAddTag[] = "TRHSMMigratedDirTrees::addTree";
constexpr const char kInnerAddTag[] = "TRHSMMigratedDirTrees::_addTree";
constexpr const char kDelTag[] = "TRHSMMigratedDirTrees::delTree";

// The tree as a string, or a KoException when a record could not carry it: writing it would
// corrupt the list for every later reader.
std::string RecordableTree(const char* tag, const char* path) {
  if (path == nullptr) throw KoException(tag, "Invalid NULL tree path.", kSourceUnit, __LINE__, -1);
  std::string tree(path);
  std::string why;
  if (!mig::IsRecordable(tree, &why)) {
    throw KoException(tag, "Invalid tree path " + tree + ": " + why + ".", kSourceUnit, __LINE__,
                      -1);
  }
  return tree;
}

// Takes the per-operation lock; the list's lock waits without limit.
void LockWaiting(KoFileLock* lock, const std::string& lockPath, int type) {
  // The lock was made with throwOnFailure, and a wait without limit never ends in a timeout, so a
  // failure arrives as a KoException.
  (void)lock->lock(lockPath.c_str(), type, KoFileLock::kWaitForever);
}

}  // namespace

TRHSMMigratedDirTrees::TRHSMMigratedDirTrees(bool held, const char* clientName)
    : m_fileLock(false) {
  CZeError error = KoMntTab::getAll(m_mounts);
  if (error.IsError()) {
    throw KoException(kCtorTag, "KoMntTab::getAll failed, error=" + error.AsString(), kSourceUnit,
                      __LINE__, -1);
  }
  if (clientName == nullptr || clientName[0] == '\0') {
    throw KoException(kCtorTag, "A valid VM cname must be provided.", kSourceUnit, __LINE__, -1);
  }
  KOPI_CommClient commClient;  // owns the text that `folder` points to
  const char* folder = commClient.getJobResultsDirectory(clientName);
  // An empty directory would put the list at "/HSMMNTLIST", in the root of the host.
  if (folder == nullptr || folder[0] == '\0') {
    throw KoException(kCtorTag,
                      std::string("Failed to retrieve Velora Job Results directory for VM ") +
                          clientName + " from registry.",
                      kSourceUnit, __LINE__, -1);
  }
  m_listPath = std::string(folder) + "/" + trhsm::tree_list::kListFileName;
  m_lockPath = m_listPath + trhsm::tree_list::kLockSuffix;
  if (held) {
    if (m_fileLock.lock(m_lockPath.c_str(), KoFileLock::kExclusive, KoFileLock::kWaitForever) !=
        1) {
      const int lockError = errno;
      throw KoException(kCtorTag,
                        "Failed to lock file " + m_lockPath + ": " + std::strerror(lockError),
                        kSourceUnit, __LINE__, -1);
    }
    m_held = true;
    loadList();
  }
}

TRHSMMigratedDirTrees::~TRHSMMigratedDirTrees() {
  if (!m_held) return;
  try {
    saveList();
  } catch (const KoException& e) {
    EvDebug().Error("~TRHSMMigratedDirTrees", "%s", e.getMessage().c_str());
  } catch (const std::exception& e) {
    EvDebug().Error("~TRHSMMigratedDirTrees", "%s", e.what());
  } catch (...) {
    EvDebug().Error("~TRHSMMigratedDirTrees", "%s", "unknown exception while saving the list");
  }
  // m_fileLock, destroyed after this body, releases the held lock once the list is saved.
}

void TRHSMMigratedDirTrees::loadList() {
  m_trees.clear();
  // In held mode the object's own exclusive lock already covers the file. Locking again would
  // work in the thread that took it, but would wait for ever in another thread the object was
  // handed to (a destructor run elsewhere, say).
  KoFileLock lock(true);
  if (!m_held) LockWaiting(&lock, m_lockPath, KoFileLock::kShared);
  const std::string text = mig::ReadListFile(m_listPath, kLoadTag);
  std::vector<std::string> problems;
  m_trees = mig::ParseTreeList(text, &problems);
  for (const std::string& problem : problems) {
    EvDebug().Error(kLoadTag, "%s: %s", m_listPath.c_str(), problem.c_str());
  }
}

void TRHSMMigratedDirTrees::saveList() {
  KoFileLock lock(true);
  if (!m_held) LockWaiting(&lock, m_lockPath, KoFileLock::kExclusive);
  mig::ReplaceListFile(m_listPath, mig::FormatTreeList(m_trees), kSaveTag);
}

std::list<std::string> TRHSMMigratedDirTrees::getDirList() {
  if (!m_held) loadList();
  return m_trees;
}

bool TRHSMMigratedDirTrees::wasDirMigrated(const char* path, std::string* tree) {
  if (!m_held) loadList();
  if (path == nullptr || path[0] == '\0') return false;
  const std::string* found = mig::FindContainingTree(m_trees, m_mounts, path);
  if (found == nullptr) return false;
  if (tree != nullptr) *tree = *found;
  return true;
}

bool TRHSMMigratedDirTrees::wasAnySubDirMigrated(const char* path) {
  if (!m_held) loadList();
  if (path == nullptr || path[0] == '\0') return false;
  return mig::AnyTreeAtOrBelow(m_trees, m_mounts, path);
}

void TRHSMMigratedDirTrees::_addTree(const char* path) {
  mig::AddTreeTo(&m_trees, m_mounts, RecordableTree(kInnerAddTag, path));
}

void TRHSMMigratedDirTrees::addTree(const char* path) {
  const std::string tree = RecordableTree(kAddTag, path);
  if (m_held) {
    mig::AddTreeTo(&m_trees, m_mounts, tree);
    return;
  }
  // One exclusive lock around load, edit and save makes the edit one step for everyone else; the
  // nested locks of loadList and saveList are granted at once inside it.
  KoFileLock lock(true);
  LockWaiting(&lock, m_lockPath, KoFileLock::kExclusive);
  loadList();
  if (mig::AddTreeTo(&m_trees, m_mounts, tree)) saveList();
}

void TRHSMMigratedDirTrees::delTree(const char* path) {
  const std::string tree = RecordableTree(kDelTag, path);
  if (m_held) {
    mig::DelTreeFrom(&m_trees, tree);
    return;
  }
  KoFileLock lock(true);
  LockWaiting(&lock, m_lockPath, KoFileLock::kExclusive);
  loadList();
  if (mig::DelTreeFrom(&m_trees, tree)) saveList();
}
