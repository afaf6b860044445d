// TRHSMMntTab: a snapshot of the platform's mount table and its two lookups.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "mount/mnt_tab_reads.h"
#include "trhsm/KoException.h"
#include "trhsm/KoMntTab.h"
#include "trhsm/TRHSMMntTab.h"

namespace {

constexpr const char kSourceUnit[] = "TRHSMMntTab";
constexpr int kErrorBufferSize = 1024;

std::atomic<uint64_t> g_tableReads{0};

struct ChainDeleter {
  void operator()(KoMntEntry* head) const {
    while (head != nullptr) {
      KoMntEntry* next = head->next;
      std::free(head);
      head = next;
    }
  }
};

// A field's text up to its NUL, and never past the field: the record comes from another library.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

}  // namespace

namespace trhsm {
namespace mount {

uint64_t MountTableReads() { return g_tableReads.load(std::memory_order_relaxed); }

}  // namespace mount
}  // namespace trhsm

TRHSMMntTab::Entry::Entry(const KoMntEntry& record)
    : device(FieldText(record.device)),
      mountPoint(FieldText(record.mountPoint)),
      auxFlag(record.auxFlag != 0),
      auxText(FieldText(record.auxText)),
      fsType(FieldText(record.fsType)) {}

TRHSMMntTab::TRHSMMntTab() {
  char error[kErrorBufferSize] = {};
  g_tableReads.fetch_add(1, std::memory_order_relaxed);
  // Owning the whole chain up front frees every record even when building an entry throws.
  std::unique_ptr<KoMntEntry, ChainDeleter> chain(koReadMntTab(error, kErrorBufferSize));
  if (chain == nullptr) {
    error[kErrorBufferSize - 1] = '\0';
    throw KoException("TRHSMMntTab", error[0] != '\0' ? error : "Failed to read the mount table",
                      kSourceUnit, __LINE__, -1);
  }
  for (const KoMntEntry* r = chain.get(); r != nullptr; r = r->next) m_entries.emplace_back(*r);
}

TRHSMMntTab::~TRHSMMntTab() = default;
TRHSMMntTab::TRHSMMntTab(const TRHSMMntTab&) = default;
TRHSMMntTab::TRHSMMntTab(TRHSMMntTab&&) noexcept = default;
TRHSMMntTab& TRHSMMntTab::operator=(const TRHSMMntTab&) = default;
TRHSMMntTab& TRHSMMntTab::operator=(TRHSMMntTab&&) noexcept = default;

std::list<TRHSMMntTab::Entry> TRHSMMntTab::getAll() const { return m_entries; }

const TRHSMMntTab::Entry* TRHSMMntTab::find(const char* mountPoint, const char* fsType) const {
  if (mountPoint == nullptr || fsType == nullptr) return nullptr;
  for (const Entry& e : m_entries) {
    if (e.mountPoint == mountPoint && e.fsType == fsType) return &e;
  }
  return nullptr;
}

const TRHSMMntTab::Entry* TRHSMMntTab::find(const char* path) const {
  if (path == nullptr || path[0] == '\0') {
    throw KoException("TRHSMMntTab::find", "Internal error: fname==NULL", kSourceUnit, __LINE__,
                      -1);
  }
  const size_t pathLength = std::strlen(path);
  const Entry* best = nullptr;
  size_t bestLength = 0;
  for (const Entry& e : m_entries) {
    const std::string& mp = e.mountPoint;
    // The mount point with a "/" after it, unless it ends in one, so /home does not hold /home2/x.
    const bool endsInSlash = !mp.empty() && mp.back() == '/';
    const size_t candidateLength = mp.size() + (endsInSlash ? 0 : 1);
    bool holds = false;
    if (pathLength >= mp.size() && std::memcmp(path, mp.data(), mp.size()) == 0) {
      holds = pathLength == mp.size() || endsInSlash || path[mp.size()] == '/';
    }
    if (holds && candidateLength > bestLength) {
      best = &e;
      bestLength = candidateLength;
    }
  }
  if (best == nullptr) {
    throw KoException("TRHSMMntTab::find",
                      std::string("Failed to find mount point containing file ") + path,
                      kSourceUnit, __LINE__, -1);
  }
  return best;
}
