// The abstract collect-file reader and the direct reader, which pairs the timed lines of a stub
// collect file with the lines of a stub list.
#include <cstdlib>
#include <cstring>

#include "collect/line_format.h"
#include "trhsm/KoFile.h"
#include "trhsm/TRHSMCollectFile.h"

TRHSMCollectFile::TRHSMCollectFile(EvEvent& events) : m_events(events) {}

TRHSMCollectFile::~TRHSMCollectFile() = default;

TRHSMCollectFileReader::TRHSMCollectFileReader(TRHSM_CMDLINE_ARGS& args, EvEvent& events)
    : TRHSMCollectFile(events), m_args(args), m_stubFile(nullptr), m_stubList(nullptr) {}

TRHSMCollectFileReader::~TRHSMCollectFileReader() {
  if (m_stubFile != nullptr) std::fclose(m_stubFile);
  if (m_stubList != nullptr) std::fclose(m_stubList);
}

int TRHSMCollectFileReader::Initialize(std::string& /*name*/) {
  m_stubFileName = m_args.stubFileName;
  m_stubListName = m_args.stubListName;
  return 1;
}

int TRHSMCollectFileReader::Initialize() {
  std::string empty;
  return Initialize(empty);
}

int TRHSMCollectFileReader::Open() {
  static const char kTag[] = "TRHSMCollectFileReader::Open";
  if (m_stubFileName.empty()) {
    m_events.Error(kTag, "m_stubFileName is empty.");
    return 0;
  }
  if (m_stubListName.empty()) {
    m_events.Error(kTag, "m_stubListName is empty.");
    return 0;
  }
  m_stubFile = fopen_utf(m_stubFileName.c_str(), "r+");
  if (m_stubFile == nullptr) {
    m_events.Error(kTag, "Failed to open %s", m_stubFileName.c_str());
    return 0;
  }
  m_stubList = fopen_utf(m_stubListName.c_str(), "r+");
  if (m_stubList == nullptr) {
    m_events.Error(kTag, "Failed to open %s", m_stubListName.c_str());
    return 0;
  }
  return 1;
}

int TRHSMCollectFileReader::GetItem(HSMCollectFile& item, std::string& reparseData,
                                    std::string& /*metaData*/, unsigned long& inode,
                                    long long& fileSize, std::string& stubStatus) {
  inode = ~0UL;
  fileSize = -1;
  stubStatus.clear();
  if (GetLineFromCollectFile(m_stubFile, trhsm::collect_line::kReaderSeparator, item) == 1) {
    char line[trhsm::collect_line::kStubListLineBufferSize] = {};
    // Only a whole line pairs with the item: a cut one would give a wrong reparse text and inode,
    // and -1 (a line too long) ends the reading like any unreadable line.
    if (GetLine(m_stubList, line) == 1) {
      reparseData = line;
      const char* bar = std::strrchr(line, '|');
      if (bar != nullptr) {
        inode = static_cast<unsigned long>(std::atoll(bar + 1));
        reparseData.resize(static_cast<size_t>(bar - line));
      }
      return 1;
    }
  }
  m_events.Error("TRHSMCollectFileReader::GetItem", "Either Failed to read %s and %s or both ended",
                 m_stubFileName.c_str(), m_stubListName.c_str());
  return 0;
}

void TRHSMCollectFileReader::SetFailureFile(std::string& /*path*/) {}
void TRHSMCollectFileReader::SetFailureFile(FILE* /*stream*/) {}
void TRHSMCollectFileReader::WriteToFailures(const char* /*text*/) {}
void TRHSMCollectFileReader::SetAppTypeGUID(const std::string& /*guid*/) {}
