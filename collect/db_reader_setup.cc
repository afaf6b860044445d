// The database reader's set-up: construction, clean-up of earlier jobs' list files, the backup
// index query, opening the collect file, the failure stream and the stub-list conversion.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "collect/line_format.h"
#include "collect/replacing_stream.h"
#include "foundation/safe_create.h"
#include "trhsm/FsClientApi.h"
#include "trhsm/KoFile.h"
#include "trhsm/TRHSMCollectFile.h"

namespace {

constexpr unsigned long kAppType124 = 124;
constexpr char kColumns[] =
    "arch_group_id,arch_file_id,arch_file_offs,file_size,full_file_name,mod_time,metadata-";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

}  // namespace

TRHSMCollectFileDBReader::TRHSMCollectFileDBReader(TRHSM_CMDLINE_ARGS& args, EvEvent& events,
                                                   bool turbo, const std::string& fileNamePrefix,
                                                   unsigned long appType)
    : TRHSMCollectFile(events),
      m_turbo(turbo),
      m_args(args),
      m_appType(appType),
      m_stowhostName(args.stowhostName),
      m_collectFp(nullptr),
      m_jobId(args.jobId),
      m_failureFp(nullptr),
      m_line(trhsm::collect_line::kDatabaseLineBufferSize) {
  static const char kTag[] = "TRHSMCollectFileDBReader::TRHSMCollectFileDBReader";
  if (m_turbo) return;
  if (m_args.snapFlag) {
    m_jobId = std::atoll(m_args.snapJobIdText.c_str());
    m_events.DebugLvl(kTag, 0, "This is a snap2tape job and JobID going to be used is [%s]",
                      m_args.snapJobIdText.c_str());
  }
  m_events.DebugLvl(kTag, 0, "Received JobID : %lld, Stowhost : %s", m_jobId, m_args.stowhostName);
  m_formatString = kColumns;
  m_formatString += m_appType == kAppType124 ? "643422786" : "1613830181";
  m_dstFileName = fileNamePrefix + "_" + std::to_string(m_jobId) + ".kof";
}

TRHSMCollectFileDBReader::~TRHSMCollectFileDBReader() {
  if (m_collectFp != nullptr) std::fclose(m_collectFp);
  CloseOwnedFailureFile();
}

int TRHSMCollectFileDBReader::Initialize(std::string& fileName) {
  static const char kTag[] = "TRHSMCollectFileDBReader::Initialize";
  (void)CleanUpPreviousJobResults();
  if (m_turbo) {
    m_dstFileName = fileName;
    m_events.DebugLvl(kTag, 2, "Turbo will use %s.", m_dstFileName.c_str());
    return 1;
  }
  const std::string path = m_args.collectFolder + m_dstFileName;
  // An existing file is the finished result of an earlier run of this job: the query writes it
  // under a temporary name and renames it into place only once whole.
  if (access(path.c_str(), F_OK) == 0) return 1;
  m_events.DebugLvl(kTag, 2, "Processing %s in folder %s with format string %s",
                    m_dstFileName.c_str(), m_args.collectFolder.c_str(), m_formatString.c_str());
  const int rc = apiGetBackedUpItemsByJob(m_jobId, m_args.collectFolder, m_dstFileName,
                                          m_formatString, m_stowhostName, 2, 0, 0, ",", nullptr,
                                          nullptr, std::string(1, '|'), std::string(1, '\n'), "");
  if (rc < 0) {
    m_events.Error(kTag, "Failed to retreive stub items for JobID %lld", m_jobId);
    return 0;
  }
  if (CountLines(path.c_str()) == 0) {
    m_events.Error(kTag, "apiGetBackedUpItemsByJob() returned zero items.");
    return 0;
  }
  return 1;
}

int TRHSMCollectFileDBReader::Initialize() {
  std::string empty;
  return Initialize(empty);
}

int TRHSMCollectFileDBReader::Open() {
  static const char kTag[] = "TRHSMCollectFileDBReader::Open";
  m_logLevel2 = EvDebug::Admits(2);
  m_logLevel3 = EvDebug::Admits(3);
  m_logLevel7 = EvDebug::Admits(7);
  if (m_turbo) {
    m_collectFp = fopen_utf(m_dstFileName.c_str(), "r");
    if (m_collectFp == nullptr) {
      m_events.DebugLvl(kTag, -1, "Failed to open collect file %s error=%s", m_dstFileName.c_str(),
                        std::strerror(errno));
      return 0;
    }
    return 1;
  }
  if (m_dstFileName.empty()) {
    m_events.Error(kTag, "m_dstFileName is empty.");
    return 0;
  }
  const std::string path = m_args.collectFolder + m_dstFileName;
  m_collectFp = fopen_utf(path.c_str(), "r");
  if (m_collectFp == nullptr) {
    m_events.DebugLvl(kTag, -1, "Failed to open collect file %s", path.c_str());
    return 0;
  }
  return 1;
}

int TRHSMCollectFileDBReader::CleanUpPreviousJobResults() {
  const std::string listPattern = m_turbo ? "dbStubListTurbo" : "dbStubList";
  const std::string jobText = std::to_string(m_jobId);
  std::unique_ptr<DIR, DirCloser> dir(opendir(m_args.collectFolder.c_str()));
  if (dir == nullptr) {
    m_events.Error("TRHSMCollectFileDBReader::CleanUpPreviousJobResults",
                   "Failed to open Job Results: %s", std::strerror(errno));
    return 0;
  }
  // Remove only entries of the folder just listed: without the separator the name would point
  // beside the folder, at a file that was never listed.
  std::string folder = m_args.collectFolder;
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    const bool earlierList =
        name.find(listPattern) != std::string_view::npos && name.find(jobText) == name.npos;
    const bool earlyStub = name.find("earlyStubBackup") != std::string_view::npos;
    // unlink removes a symbolic link itself, never what it points at.
    if (earlierList) (void)unlink((folder + entry->d_name).c_str());
    if (earlyStub) (void)unlink((folder + entry->d_name).c_str());
  }
  return 1;
}

int TRHSMCollectFileDBReader::ProcessStubCollectFile(std::string& inPath, std::string& outPath) {
  std::unique_ptr<FILE, FileCloser> in(fopen_utf(inPath.c_str(), "r"));
  if (in == nullptr) return 0;
  // The list replaces outPath only once whole: a failed write leaves an earlier list as it was.
  std::string temporary;
  FILE* out = trhsm::collect::OpenReplacing(outPath, &temporary);
  if (out == nullptr) return 0;
  const auto abandon = [&] {
    std::fclose(out);
    if (!temporary.empty()) ::unlink(temporary.c_str());
  };
  bool readFailed;
  try {
    HSMCollectFile item;
    while (GetLineFromCollectFile(in.get(), trhsm::collect_line::kReaderSeparator, item) == 1) {
      const size_t colon = item.fileName.rfind(':');
      if (colon == std::string::npos) continue;
      std::string text = item.fileName.substr(0, colon);
      m_events.DebugLvl("TRHSMCollectFileDBReader::ProcessStubCollectFile", 2,
                        "Writing %s to file [%s].", text.c_str(), outPath.c_str());
      write_to_file(out, text);
    }
    // A read error ends the input like its end: the list would be short, so it must not replace
    // the earlier one.
    readFailed = std::ferror(in.get()) != 0;
  } catch (...) {
    abandon();  // out of memory: the earlier list stays
    throw;
  }
  if (readFailed) {
    const int readError = errno;
    abandon();
    errno = readError;
  }
  if (readFailed || !trhsm::collect::FinishReplacing(out, outPath, temporary)) {
    m_events.Error("TRHSMCollectFileDBReader::ProcessStubCollectFile",
                   "Failed to write the stub list %s: %s", outPath.c_str(), std::strerror(errno));
    return 0;
  }
  return 1;
}

void TRHSMCollectFileDBReader::CloseOwnedFailureFile() {
  // Owned only when SetFailureFile(path) opened it, so never null then.
  if (m_ownsFailureFp) std::fclose(m_failureFp);
  m_failureFp = nullptr;
  m_ownsFailureFp = false;
}

void TRHSMCollectFileDBReader::SetFailureFile(std::string& path) {
  CloseOwnedFailureFile();
  // The folder may be writable by others: a link or file planted under the name is replaced,
  // never followed.
  const int fd = trhsm::OpenEmptyOwnFile(path);
  if (fd >= 0) {
    m_failureFp = fdopen(fd, "w+");
    if (m_failureFp == nullptr) ::close(fd);
  }
  m_ownsFailureFp = m_failureFp != nullptr;
  m_events.DebugLvl("TRHSMCollectFileDBReader::SetFailureFile", 3, "Failure file set at [%s]",
                    path.c_str());
}

void TRHSMCollectFileDBReader::SetFailureFile(FILE* stream) {
  CloseOwnedFailureFile();
  m_failureFp = stream;
  m_events.DebugLvl("TRHSMCollectFileDBReader::SetFailureFile", 3, "Failure file set");
}

void TRHSMCollectFileDBReader::WriteToFailures(const char* text) {
  if (m_failureFp == nullptr || text == nullptr) return;
  std::string line(text);
  write_to_file(m_failureFp, line);
}

void TRHSMCollectFileDBReader::SetAppTypeGUID(const std::string& guid) { m_appTypeGUID = guid; }
