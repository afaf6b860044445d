// trhsm-crash-check: what the crash loop checks after each kill.
//   trhsm-crash-check --list FILE --journal FILE [--prefix P] [--settle]
//                     [--tree DIR --reference DIR --archive DIR [--complete | --pristine]]
// The list must parse whole (every line a record, the last one ended) and hold every edit the
// journal says returned (tests/edit_journal.h); trees outside the editors' prefix must be folders
// of the stub job's tree. Every file of the tree must be its reference's bytes or a stub whose
// archived copy holds them; temporaries of the stub job and of recall are allowed between kills.
// --complete: after a stub run that ended by itself: every file is a stub in a listed tree, and no
// temporary (the list's included) is left. --pristine: after the recall, every file is its
// original again and no temporary is left. --settle, when nothing was damaged, rewrites the
// journal as the outcome of every edit, interrupted ones as the list shows them.
// Prints one "damage: ..." line per finding, and with --settle "interrupted edits: N". Exit status:
// 0 sound, 1 damage, 2 usage or I/O error.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "migrated/tree_list_format.h"
#include "platform/archive.h"
#include "tests/edit_journal.h"
#include "tools/scoped_file.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

namespace mig = trhsm::migrated;
using trhsm_tools::Fd;

constexpr char kTag[] = "trhsm-crash-check";
constexpr char kStubTemp[] = ".trhsm-stub-tmp.";
constexpr char kRecallTemp[] = ".trhsm-recall-tmp.";

int Usage() {
  std::fprintf(stderr,
               "usage: trhsm-crash-check --list FILE --journal FILE [--prefix P] [--settle] "
               "[--tree DIR --reference DIR --archive DIR [--complete | --pristine]]\n");
  return 2;
}

struct Options {
  std::string list, journal, prefix = "/crashloop/", tree, reference, archive;
  bool settle = false, complete = false, pristine = false;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--settle") {
      o->settle = true;
    } else if (arg == "--complete") {
      o->complete = true;
    } else if (arg == "--pristine") {
      o->pristine = true;
    } else if (i + 1 < argc && arg == "--list") {
      o->list = argv[++i];
    } else if (i + 1 < argc && arg == "--journal") {
      o->journal = argv[++i];
    } else if (i + 1 < argc && arg == "--prefix") {
      o->prefix = argv[++i];
    } else if (i + 1 < argc && arg == "--tree") {
      o->tree = argv[++i];
    } else if (i + 1 < argc && arg == "--reference") {
      o->reference = argv[++i];
    } else if (i + 1 < argc && arg == "--archive") {
      o->archive = argv[++i];
    } else {
      return false;
    }
  }
  const bool tree = !o->tree.empty();
  return !o->list.empty() && !o->journal.empty() && tree == !o->reference.empty() &&
         tree == !o->archive.empty() && (tree || !(o->complete || o->pristine)) &&
         !(o->complete && o->pristine);
}

// The whole file; false when it cannot be read (a missing file reads as "" when `missingOk`).
bool Slurp(const std::string& path, bool missingOk, std::string* out) {
  out->clear();
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return missingOk && errno == ENOENT;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(chunk, static_cast<size_t>(n));
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsTemporary(const std::string& name) {
  return name.compare(0, sizeof kStubTemp - 1, kStubTemp) == 0 ||
         name.compare(0, sizeof kRecallTemp - 1, kRecallTemp) == 0;
}

// Every file below `dir`, as paths relative to `base` (leading "/").
void Walk(const std::string& base, const std::string& rel, std::vector<std::string>* out) {
  DIR* dir = ::opendir((base + rel).c_str());
  if (dir == nullptr) return;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const std::string child = rel + "/" + name;
    if (::lstat((base + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      Walk(base, child, out);
    } else {
      out->push_back(child);
    }
  }
  ::closedir(dir);
}

std::string BaseOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string FolderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

class Checker {
 public:
  explicit Checker(const Options& o) : o_(o) {}

  void Damage(const std::string& what) {
    std::printf("damage: %s\n", what.c_str());
    ++damage_;
  }
  int damage() const { return damage_; }

  // False on an I/O error that makes the check meaningless.
  bool CheckList() {
    std::string text;
    try {
      text = mig::ReadListFile(o_.list, kTag);
    } catch (const KoException& e) {
      std::fprintf(stderr, "%s: %s\n", kTag, e.what());
      return false;
    }
    std::vector<std::string> problems;
    trees_ = mig::ParseTreeList(text, &problems);
    for (const std::string& p : problems) Damage("list: " + p);
    if (!text.empty() && text.back() != trhsm::tree_list::kLineEnd) {
      Damage("list: the last record has no line feed (the file is cut)");
    }
    std::string journal;
    if (!Slurp(o_.journal, true, &journal)) {
      std::fprintf(stderr, "%s: read %s: %s\n", kTag, o_.journal.c_str(), std::strerror(errno));
      return false;
    }
    journal_ = crashloop::ReplayJournal(journal);
    if (!journal_.problems.empty()) {
      for (const std::string& p : journal_.problems)
        std::fprintf(stderr, "%s: %s\n", kTag, p.c_str());
      return false;
    }
    for (const std::string& d : crashloop::CompareList(journal_, trees_, o_.prefix)) Damage(d);
    for (const std::string& tree : trees_) {
      if (tree.compare(0, o_.prefix.size(), o_.prefix) == 0) continue;
      if (o_.tree.empty() || tree.compare(0, o_.tree.size() + 1, o_.tree + "/") != 0) {
        Damage("list: tree " + tree + " was never added by an editor or the stub job");
      }
    }
    if (o_.complete || o_.pristine) {
      const std::string temp = o_.list + trhsm::tree_list::kTempSuffix;
      if (Exists(temp)) Damage("temporary " + temp + " left after a complete run");
    }
    return true;
  }

  // False on an I/O error.
  bool CheckTree() {
    if (KoMntTab::getAll(mounts_).IsError()) {
      std::fprintf(stderr, "%s: cannot read the mount table\n", kTag);
      return false;
    }
    std::vector<std::string> refs, files;
    Walk(o_.reference, "", &refs);
    Walk(o_.tree, "", &files);
    const std::set<std::string> known(refs.begin(), refs.end());
    for (const std::string& rel : files) {
      if (known.count(rel) != 0) continue;
      if (!IsTemporary(BaseOf(rel))) {
        Damage("unexpected file " + o_.tree + rel);
      } else if (o_.complete || o_.pristine) {
        Damage("temporary " + o_.tree + rel + " left after a complete run");
      }
    }
    for (const std::string& rel : refs) {
      std::string original, have;
      if (!Slurp(o_.reference + rel, false, &original)) {
        std::fprintf(stderr, "%s: read %s%s: %s\n", kTag, o_.reference.c_str(), rel.c_str(),
                     std::strerror(errno));
        return false;
      }
      const std::string path = o_.tree + rel;
      if (!Slurp(path, true, &have) || !Exists(path)) {
        Damage("file " + path + " is gone");
        continue;
      }
      if (have == original) {
        if (o_.complete) Damage("file " + path + " is not stubbed after a complete run");
        continue;
      }
      std::string why;
      if (!RecallsTo(path, have, original, &why)) {
        Damage("file " + path + " is neither its original bytes nor a stub of them: " + why);
      } else if (o_.pristine) {
        Damage("file " + path + " is still a stub after the recall");
      } else if (o_.complete &&
                 mig::FindContainingTree(trees_, mounts_, FolderOf(path).c_str()) == nullptr) {
        Damage("stub " + path + " lies in no listed tree after a complete run");
      }
    }
    return true;
  }

  // Fixes the outcome of each interrupted edit as the list shows it, and prints how many there
  // were. The journal is then rewritten as one 'S' record per tree (a synced temporary renamed
  // over it), which keeps it, and the next replay, short. REQUIRES: no editor is running.
  bool Settle() {
    std::printf("interrupted edits: %zu\n", journal_.pending.size());
    const std::string records = crashloop::SettledJournal(journal_, trees_);
    const std::string temp = o_.journal + ".tmp";
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.get() >= 0 &&
           ::write(fd.get(), records.data(), records.size()) ==
               static_cast<ssize_t>(records.size()) &&
           ::fsync(fd.get()) == 0 && fd.Close() && ::rename(temp.c_str(), o_.journal.c_str()) == 0;
  }

 private:
  // True when `bytes` (the file at `path`) is one whole stub record naming `path`, whose archived
  // copy is intact and holds `original`.
  bool RecallsTo(const std::string& path, const std::string& bytes, const std::string& original,
                 std::string* why) {
    std::vector<char> record(bytes.begin(), bytes.end());
    ReparseData data;
    int length = 0;
    if (record.empty() || !trhsm_stub2meta(record.data(), &length, nullptr, nullptr, 0, true) ||
        static_cast<size_t>(length) != record.size() || ParseStubData(record, data) != 1) {
      *why = "not a whole stub record (" + std::to_string(bytes.size()) + " bytes)";
      return false;
    }
    if (data.stubGUID != path) {
      *why = "the stub names " + data.stubGUID;
      return false;
    }
    Fd copy(::memfd_create("crash-check-copy", MFD_CLOEXEC));
    trhsm::platform::CopyHeader header;
    std::string error;
    if (copy.get() < 0 || !trhsm::platform::CopyOut(o_.archive, data.field2, data.field3,
                                                    data.field4, copy.get(), &header, &error)) {
      *why = "its archived copy cannot be read: " + error;
      return false;
    }
    std::string recalled;
    if (!Slurp("/proc/self/fd/" + std::to_string(copy.get()), false, &recalled) ||
        recalled != original) {
      *why = "its archived copy holds other bytes";
      return false;
    }
    return true;
  }

  const Options& o_;
  int damage_ = 0;
  std::list<std::string> trees_;
  crashloop::JournalState journal_;
  mig::MountList mounts_;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return Usage();
  Checker check(o);
  if (!check.CheckList()) return 2;
  if (!o.tree.empty() && !check.CheckTree()) return 2;
  if (check.damage() > 0) return 1;
  if (o.settle && !check.Settle()) {
    std::fprintf(stderr, "%s: cannot append to %s: %s\n", kTag, o.journal.c_str(),
                 std::strerror(errno));
    return 2;
  }
  return 0;
}
