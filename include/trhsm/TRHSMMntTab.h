// A snapshot of the mount table.
#ifndef TRHSM_TRHSMMNTTAB_H_
#define TRHSM_TRHSMMNTTAB_H_

#include <list>
#include <string>

#include "trhsm/trhsm_export.h"

struct KoMntEntry;

// The host's mounted file systems as read once, at construction, through koReadMntTab. Read-only
// afterwards, so several threads may read one object at once. Copyable and movable; pointers that
// find() returns point into this object's list and live as long as it (a move keeps them valid).
class TRHSM_EXPORT TRHSMMntTab {
 public:
  // One mounted file system.
  struct TRHSM_EXPORT Entry {
    Entry() = default;
    // The record's texts up to their NUL (or the end of their field); auxFlag is the record's
    // auxiliary flag not equal to 0.
    Entry(const KoMntEntry& record);

    std::string device;
    std::string mountPoint;
    bool auxFlag = false;
    std::string auxText;
    std::string fsType;
  };

  // Takes the snapshot, in the table's order. Throws KoException (code -1, tag "TRHSMMntTab", the
  // platform's error text as message) when the table cannot be read or is empty.
  TRHSMMntTab();
  ~TRHSMMntTab();
  TRHSMMntTab(const TRHSMMntTab&);
  TRHSMMntTab(TRHSMMntTab&&) noexcept;
  TRHSMMntTab& operator=(const TRHSMMntTab&);
  TRHSMMntTab& operator=(TRHSMMntTab&&) noexcept;

  // A copy of every entry, in table order.
  std::list<Entry> getAll() const;

  // The first entry whose mount point and type equal the arguments byte for byte, or null. A null
  // argument matches nothing.
  const Entry* find(const char* mountPoint, const char* fsType) const;

  // The entry that holds `path`: the longest mount point M such that `path` equals M or begins with
  // M followed by "/" (M's own trailing "/" counts as that one); the first of equal length wins.
  // The path is compared as written, without normalisation. Never null: throws KoException
  // (code -1, tag "TRHSMMntTab::find") with "Internal error: fname==NULL" for a null or empty path
  // and "Failed to find mount point containing file <path>" when no entry holds it.
  const Entry* find(const char* path) const;

 private:
  std::list<Entry> m_entries;
};

#endif  // TRHSM_TRHSMMNTTAB_H_
