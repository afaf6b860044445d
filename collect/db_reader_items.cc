// The database reader's items: each GetItem reads comma-separated lines until one describes a
// stubbable item and builds its reparse text; the others are logged, reported and passed over.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "collect/line_format.h"
#include "collect/line_reader.h"
#include "collect/reparse_text.h"
#include "trhsm/CZeString.h"
#include "trhsm/KoFileName.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

constexpr char kTag[] = "TRHSMCollectFileDBReader::GetItem";
constexpr unsigned long kAppType124 = 124;
// The name buffer of a normal-mode item: at most kMaxNameLength bytes.
constexpr size_t kMaxNameLength = 1023;
constexpr char kNeverBackedUp[] = "NEVER_BACKED_UP";

bool EndsInCrOrTab(std::string_view text) {
  return !text.empty() && (text.back() == '\r' || text.back() == '\t');
}

int Length(std::string_view text) { return static_cast<int>(text.size()); }

// What follows a file name that was not read to its end.
constexpr char kCutMark[] = "... (cut)";

// A failure-file line in the mode's own format, naming the file `name` (with the cut mark when
// `cut`) and the reason it was skipped.
std::string SkipLine(bool turbo, std::string_view name, bool cut, const std::string& reason) {
  std::string text = turbo ? "File[" : "";
  text.append(name);
  if (cut) text += kCutMark;
  if (turbo) return text + "], ArchiveStatus[STUBBING_SKIPPED], Reason[" + reason + "]";
  return text + " Stubbing : Skipped : " + reason;
}

}  // namespace

void TRHSMCollectFileDBReader::ReportSkip(const std::string& text) {
  if (m_args.skipReportSwitch == 0 || m_failureFp == nullptr) return;
  write_to_file(m_failureFp, m_text = text);
}

int TRHSMCollectFileDBReader::NextLine() {
  namespace cl = trhsm::collect_line;
  for (;;) {
    const cl::LineRead line = cl::ReadLine(m_collectFp, m_line.data(), m_line.size());
    std::string reason;
    switch (line.status) {
      case cl::LineStatus::kWhole:
        m_lineLength = line.length;
        return 1;
      case cl::LineStatus::kEnd:
        return 0;
      case cl::LineStatus::kTooLong:
        // A cut line would yield a wrong name or reparse text: pass it over, and say so.
        reason = "line of " + std::to_string(m_line.size()) + " bytes or more";
        break;
      case cl::LineStatus::kHasNul:
        reason = "line holding a NUL byte";
        break;
    }
    // The buffer holds the line up to its cut or its NUL: the file is named as far as that goes,
    // marked as cut unless a later column was reached.
    const size_t count = static_cast<size_t>(CZeString::TokenizeViews(
        std::string_view(m_line.data()), '"', '"', '\\', ',', m_tokens, m_scratch));
    const std::string name = count > 4 ? std::string(m_tokens[4]) : std::string();
    const std::string text =
        SkipLine(m_turbo, name, count <= 5, reason + " in collect file " + m_dstFileName);
    m_events.Error(kTag, "%s", text.c_str());
    ReportSkip(text);
  }
}

int TRHSMCollectFileDBReader::GetItem(HSMCollectFile& item, std::string& reparseData,
                                      std::string& metaData, unsigned long& inode,
                                      long long& fileSize, std::string& stubStatus) {
  inode = ~0UL;
  fileSize = -1;
  stubStatus.clear();
  if (m_collectFp != nullptr) {
    const int rc = m_turbo ? GetTurboItem(item, reparseData, metaData, inode, fileSize, stubStatus)
                           : GetNormalItem(item, reparseData, metaData, inode, stubStatus);
    if (rc != 0) return rc;
  }
  m_events.Error(kTag, "Finished processing collect file data from collect file %s",
                 m_dstFileName.c_str());
  return 0;
}

int TRHSMCollectFileDBReader::GetTurboItem(HSMCollectFile& item, std::string& reparseData,
                                           std::string& metaData, unsigned long& inode,
                                           long long& fileSize, std::string& stubStatus) {
  while (NextLine() == 1) {
    const char* line = m_line.data();
    // A status belongs to its own line only; a skipped line must not pass it on.
    stubStatus.clear();
    const size_t count = static_cast<size_t>(CZeString::TokenizeViews(
        std::string_view(line, m_lineLength), '"', '"', '\\', ',', m_tokens, m_scratch));
    if (count < 8) {
      m_events.Error(kTag, "Invalid value '%s' read.", line);
      continue;
    }
    const std::vector<std::string_view>& t = m_tokens;
    if (count > 9) stubStatus.assign(t[9]);
    if (t[0] == "0" && t[1] == "0" && t[2] == "0" && t[3] == "0") stubStatus = kNeverBackedUp;
    if (m_logLevel3) {
      m_events.DebugLvl(kTag, 3, "Entry[%s] tokens[%lu]", line, static_cast<unsigned long>(count));
    }
    if (t[4].empty()) {
      m_events.DebugLvl(kTag, -1, "Invalid entry '%s' read from [%s] : filename not found.", line,
                        m_dstFileName.c_str());
      continue;
    }
    std::string_view meta = t[6];
    if (EndsInCrOrTab(meta)) meta.remove_suffix(1);
    metaData.assign(meta);
    if (metaData.empty()) {
      m_events.Error(kTag, "Meta-data read as zero length.");
      ReportSkip("File[" + std::string(t[4]) +
                 "], ArchiveStatus[STUBBING_SKIPPED], Reason[meta-data GUID missing]");
      continue;
    }
    if (t[7].empty()) {
      m_events.Error(kTag, "Inode read as zero length.");
      ReportSkip("File[" + std::string(t[4]) +
                 "], ArchiveStatus[STUBBING_SKIPPED], Reason[inode info missing]");
      continue;
    }
    m_text.assign(t[4]);
    item.fileName = decodeFileName(m_text);
    // A line of exactly eight columns has no time column: read it as an empty one, never past
    // the tokens.
    item.itemTime = count > 8 ? static_cast<long>(trhsm::collect::ViewToInt64(t[8])) : 0;
    inode = t[7] == "-1" ? ~0UL : static_cast<unsigned long>(trhsm::collect::ViewToUint64(t[7]));
    fileSize = static_cast<long long>(trhsm::collect::ViewToInt64(t[3]));
    trhsm::collect::BuildTurboReparse(reparseData, m_args.auxNumber, t[0], t[1], t[2], metaData,
                                      m_args.appIdSecond, m_appTypeGUID, t[3],
                                      static_cast<uint64_t>(std::time(nullptr)));
    if (m_logLevel7) {
      m_events.DebugLvl(kTag, 7,
                        "File[%s], Reparse[%s], Meta[%s], Inode[%llu(%.*s)], Backup mtime=[%ld], "
                        "File size=[%lld], Stubbing status=[%s]",
                        item.fileName.c_str(), reparseData.c_str(), metaData.c_str(),
                        static_cast<unsigned long long>(inode), Length(t[7]), t[7].data(),
                        item.itemTime, fileSize,
                        stubStatus.empty() ? "Unknown" : stubStatus.c_str());
    }
    return 1;
  }
  return 0;
}

int TRHSMCollectFileDBReader::GetNormalItem(HSMCollectFile& item, std::string& reparseData,
                                            std::string& metaData, unsigned long& inode,
                                            std::string& stubStatus) {
  while (NextLine() == 1) {
    const char* line = m_line.data();
    stubStatus.clear();
    if (*line == '\0') continue;
    const size_t count = static_cast<size_t>(CZeString::TokenizeViews(
        std::string_view(line, m_lineLength), '"', '"', '\\', ',', m_tokens, m_scratch));
    if (count < 5) {
      m_events.Error(kTag, "Could not find file name in collect file %s", m_dstFileName.c_str());
      return -1;
    }
    const std::vector<std::string_view>& t = m_tokens;
    if (count < 7) {
      const std::string text =
          std::string(t[4]) + " Stubbing : Skipped : Stubbing info not found (no meta-data)";
      m_events.Error(kTag, "%s", text.c_str());
      ReportSkip(text);
      continue;
    }
    if (t[6].empty()) {
      const std::string text =
          std::string(t[4]) + " Stubbing : Skipped : Stubbing info not found (empty meta-data)";
      m_events.Error(kTag, "%s", text.c_str());
      ReportSkip(text);
      continue;
    }
    std::string_view name = t[4];
    if (name.size() > kMaxNameLength) {
      // The name buffer holds no more; a cut name would stub the wrong file.
      const std::string text =
          SkipLine(false, name.substr(0, kMaxNameLength), true,
                   "file name of more than " + std::to_string(kMaxNameLength) + " bytes");
      m_events.Error(kTag, "%s", text.c_str());
      ReportSkip(text);
      continue;
    }
    std::string_view meta = t[6];
    size_t cut = meta.rfind('\r');
    if (cut == meta.npos) cut = meta.rfind('\t');
    if (cut != meta.npos) meta = meta.substr(0, cut);
    metaData.assign(meta);
    if (m_appType != kAppType124) {
      inode = static_cast<unsigned long>(trhsm::collect::ViewToInt64(metaData));
    }
    item.itemTime = m_args.restartValue;
    if (EndsInCrOrTab(name)) name.remove_suffix(1);
    item.fileName.assign(name);
    trhsm::collect::BuildNormalReparse(reparseData, m_args.auxNumber, t[0], t[1], t[2], name,
                                       static_cast<uint64_t>(std::time(nullptr)));
    if (m_logLevel2) {
      m_events.DebugLvl(kTag, 2, "Filename : %s", item.fileName.c_str());
      m_events.DebugLvl(kTag, 2, "Reparse Data : %s", reparseData.c_str());
      m_events.DebugLvl(kTag, 2, "Inode : %llu", static_cast<unsigned long long>(inode));
    }
    return 1;
  }
  return 0;
}
