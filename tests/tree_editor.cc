// trhsm-tree-editor: edits the migrated-tree list in a loop for the crash loop, journaling each
// edit before it starts and after it returns (tests/edit_journal.h).
//   trhsm-tree-editor --slot N --journal FILE [--client NAME] [--trees N] [--edits N] [--seed N]
//                     [--naive] [--ready]
//   trhsm-tree-editor --delete TREE... [--client NAME]
// The slot's trees are /crashloop/s<N>/t0 .. t<trees-1>, and no other editor touches them, so the
// journal's order of each tree's records is the order its edits took effect. Without --edits the
// loop runs until the process is killed. --naive edits through a writer that rewrites the list in
// place in small pieces, with no temporary file: the harness must see the damage it does.
// --ready writes "ready\n" to standard output once the list is open and the first edit is next,
// so that the harness can time its kill from there.
// --delete forgets the given trees through the library and exits, unjournaled (the harness uses it
// to forget the stub job's trees between cycles).
// Exit status: 0 all edits done, 1 an edit or the journal failed, 2 usage error.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "migrated/tree_algebra.h"
#include "migrated/tree_list_codec.h"
#include "migrated/tree_list_file.h"
#include "migrated/tree_list_format.h"
#include "tests/edit_journal.h"
#include "trhsm/KOPlatformInfo.h"
#include "trhsm/KoException.h"
#include "trhsm/KoFileLock.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMigratedDirTrees.h"

namespace {

constexpr char kTag[] = "trhsm-tree-editor";

int Usage() {
  std::fprintf(stderr,
               "usage: trhsm-tree-editor --slot N --journal FILE [--client NAME] [--trees N] "
               "[--edits N] [--seed N] [--naive] [--ready]\n"
               "       trhsm-tree-editor --delete TREE... [--client NAME]\n");
  return 2;
}

struct Options {
  long slot = -1;
  std::string journal;
  std::string client;
  long trees = 16;
  long edits = -1;  // until killed
  unsigned long seed = 0;
  bool haveSeed = false;
  bool naive = false;
  bool ready = false;
  std::vector<std::string> deletions;
};

bool ParseNumber(const char* text, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *value >= 0;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--naive" || arg == "--ready") {
      (arg == "--naive" ? o->naive : o->ready) = true;
      continue;
    }
    if (arg == "--delete") {
      for (++i; i < argc && argv[i][0] != '-'; ++i) o->deletions.push_back(argv[i]);
      --i;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = 0;
    if (arg == "--journal") {
      o->journal = value;
    } else if (arg == "--client") {
      o->client = value;
    } else if (!ParseNumber(value, &number)) {
      return false;
    } else if (arg == "--slot") {
      o->slot = number;
    } else if (arg == "--trees") {
      o->trees = number;
    } else if (arg == "--edits") {
      o->edits = number;
    } else if (arg == "--seed") {
      o->seed = static_cast<unsigned long>(number);
      o->haveSeed = true;
    } else {
      return false;
    }
  }
  if (!o->deletions.empty()) return o->slot < 0 && o->journal.empty() && !o->naive;
  return o->slot >= 0 && !o->journal.empty() && o->trees > 0;
}

// One record in one write; a short write would leave the journal cut.
bool Journal(int fd, char kind, char op, const std::string& tree) {
  const std::string record = crashloop::FormatRecord(kind, op, tree);
  ssize_t n;
  do {
    n = ::write(fd, record.data(), record.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(record.size());
}

// The harmful way to save: truncate the list, then write it back in pieces, each record's closing
// "|\n" apart from the rest of it.
void NaiveSave(const std::string& listPath, const std::string& text) {
  const int fd = ::open(listPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    throw KoException(kTag, "open " + listPath + ": " + std::strerror(errno), kTag, 0, -1);
  auto piece = [&](size_t from, size_t to) {
    if (from < to &&
        ::write(fd, text.data() + from, to - from) != static_cast<ssize_t>(to - from)) {
      const int error = errno;
      ::close(fd);
      throw KoException(kTag, "write " + listPath + ": " + std::strerror(error), kTag, 0, -1);
    }
  };
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    const size_t split = next - at > 2 ? next - 2 : next;  // "1|tree" then "|\n"
    piece(at, split);
    piece(split, next);
    at = next;
  }
  ::close(fd);
}

// addTree or delTree as the naive writer does it: under the list's exclusive lock, like the
// library, so that only a kill (never two writers at once) can damage the list.
void NaiveEdit(const std::string& listPath, const trhsm::migrated::MountList& mounts, char op,
               const std::string& tree) {
  namespace mig = trhsm::migrated;
  KoFileLock lock(true);
  const std::string lockPath = listPath + trhsm::tree_list::kLockSuffix;
  (void)lock.lock(lockPath.c_str(), KoFileLock::kExclusive, KoFileLock::kWaitForever);
  std::vector<std::string> problems;
  std::list<std::string> trees = mig::ParseTreeList(mig::ReadListFile(listPath, kTag), &problems);
  const bool changed =
      op == crashloop::kAdd ? mig::AddTreeTo(&trees, mounts, tree) : mig::DelTreeFrom(&trees, tree);
  if (changed) NaiveSave(listPath, mig::FormatTreeList(trees));
}

std::string FocusClient() {
  KOPI_Focus focus;
  const char* name = focus.getFocusClientName(false);
  return name == nullptr ? "" : name;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return Usage();
  if (o.client.empty()) o.client = FocusClient();
  if (!o.deletions.empty()) {
    try {
      TRHSMMigratedDirTrees list(false, o.client.c_str());
      for (const std::string& tree : o.deletions) list.delTree(tree.c_str());
    } catch (const KoException& e) {
      std::fprintf(stderr, "%s: %s\n", kTag, e.what());
      return 1;
    }
    return 0;
  }
  if (!o.haveSeed) o.seed = static_cast<unsigned long>(std::time(nullptr)) ^ ::getpid();
  const int journal = ::open(o.journal.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (journal < 0) {
    std::fprintf(stderr, "%s: open %s: %s\n", kTag, o.journal.c_str(), std::strerror(errno));
    return 1;
  }
  std::mt19937 gen(static_cast<std::mt19937::result_type>(o.seed));
  const std::string base = "/crashloop/s" + std::to_string(o.slot) + "/t";
  try {
    TRHSMMigratedDirTrees list(false, o.client.c_str());
    std::string listPath;
    trhsm::migrated::MountList mounts;
    if (o.naive) {
      KOPI_CommClient comm;
      const char* folder = comm.getJobResultsDirectory(o.client.c_str());
      listPath =
          std::string(folder == nullptr ? "" : folder) + "/" + trhsm::tree_list::kListFileName;
      if (KoMntTab::getAll(mounts).IsError()) {
        std::fprintf(stderr, "%s: cannot read the mount table\n", kTag);
        return 1;
      }
    }
    if (o.ready && ::write(STDOUT_FILENO, "ready\n", 6) != 6) {
      std::fprintf(stderr, "%s: cannot say it is ready: %s\n", kTag, std::strerror(errno));
      return 1;
    }
    for (long done = 0; o.edits < 0 || done < o.edits; ++done) {
      const std::string tree = base + std::to_string(gen() % static_cast<unsigned long>(o.trees));
      const char op = gen() % 2 == 0 ? crashloop::kAdd : crashloop::kDel;
      if (!Journal(journal, crashloop::kTry, op, tree)) {
        std::fprintf(stderr, "%s: write %s: %s\n", kTag, o.journal.c_str(), std::strerror(errno));
        return 1;
      }
      if (o.naive) {
        NaiveEdit(listPath, mounts, op, tree);
      } else if (op == crashloop::kAdd) {
        list.addTree(tree.c_str());
      } else {
        list.delTree(tree.c_str());
      }
      if (!Journal(journal, crashloop::kDone, op, tree)) {
        std::fprintf(stderr, "%s: write %s: %s\n", kTag, o.journal.c_str(), std::strerror(errno));
        return 1;
      }
    }
  } catch (const KoException& e) {
    std::fprintf(stderr, "%s: %s\n", kTag, e.what());
    return 1;
  }
  ::close(journal);
  return 0;
}
