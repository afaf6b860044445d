// The list of migrated directory trees, shared between processes.
//
// Per client, the file "HSMMNTLIST" in the client's job results directory records the trees that a
// migration job migrated; the lock file beside it ("HSMMNTLIST.lock") is locked shared for reads
// and exclusive for writes, waiting without limit. A recorded tree holds a path only on the path's
// own file system: containment never reaches across a mount point.
#ifndef TRHSM_TRHSMMIGRATEDDIRTREES_H_
#define TRHSM_TRHSMMIGRATEDDIRTREES_H_

#include <list>
#include <string>

#include "trhsm/KoFileLock.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/trhsm_export.h"

// Not thread-safe: one object is used by one thread at a time. Objects of different threads or
// processes share the list through the lock file; another thread of the same process waits for a
// lock as another process would.
class TRHSM_EXPORT TRHSMMigratedDirTrees {
 public:
  // `held` true: takes the exclusive lock for the object's whole life, loads the list once, answers
  // and edits in memory, and writes the list back on destruction. False: locks per call; every
  // query rereads the list and every edit is a locked read-modify-write of the file.
  // Reads the mount table once (it is never refreshed). Throws KoException (code -1) when the mount
  // table cannot be read, when `clientName` is null or empty, when the client has no (or an empty)
  // job results directory, when the lock cannot be taken, or when the list cannot be loaded.
  TRHSMMigratedDirTrees(bool held, const char* clientName);
  // Held mode: saves the list (a failure is logged, never thrown), then releases the lock.
  ~TRHSMMigratedDirTrees();
  TRHSMMigratedDirTrees(const TRHSMMigratedDirTrees&) = delete;
  TRHSMMigratedDirTrees& operator=(const TRHSMMigratedDirTrees&) = delete;

  // Replaces the trees by the file's content, under a shared lock. A missing file is an empty list;
  // damaged lines are logged and dropped. Throws KoException when the file exists but cannot be
  // examined, opened or read; the trees are then empty.
  void loadList();
  // Writes the trees to the file, under an exclusive lock, by writing a temporary file beside it,
  // syncing it and renaming it over the list, so a reader or a crash sees the old list or the new
  // one whole. Throws KoException (message beginning "Failed to open file <list> for writing" when
  // the temporary file cannot be made, else naming the step that failed); the old list then stays
  // as it was and no temporary file is left.
  void saveList();

  // A copy of the trees in list order; transaction mode reloads them first.
  std::list<std::string> getDirList();
  // True when a recorded tree holds `path` on path's own file system; the first such tree is copied
  // to *tree when `tree` is not null. A null or empty path gives false. Transaction mode reloads.
  bool wasDirMigrated(const char* path, std::string* tree);
  // True when some recorded tree lies at or below `path` on the tree's file system. A null or empty
  // path gives false. Transaction mode reloads.
  bool wasAnySubDirMigrated(const char* path);

  // Records the tree `path` (stored as given, byte for byte): nothing changes when a recorded tree
  // already holds it; recorded trees it holds are replaced by it. Held mode edits memory only;
  // transaction mode loads, edits and saves under one exclusive lock. Throws KoException for a
  // path that a record cannot carry (null, empty, longer than 4091 bytes, or holding "|" or a line
  // feed), changing nothing, and for the failures of loadList and saveList.
  void addTree(const char* path);
  // Forgets the first recorded tree byte-for-byte equal to `path` (no containment test). Refuses
  // the paths that addTree refuses, changing nothing; otherwise as addTree.
  void delTree(const char* path);
  // The in-memory edit behind addTree, with addTree's refusals; touches no file.
  void _addTree(const char* path);

 private:
  bool m_held = false;
  std::string m_listPath;
  std::string m_lockPath;
  KoFileLock m_fileLock;
  std::list<std::string> m_trees;
  std::list<KoMntTab::Entry> m_mounts;
};

#endif  // TRHSM_TRHSMMIGRATEDDIRTREES_H_
