// The job-client stand-in: every call journaled in the job-manager folder, phase parameters kept as
// the restart file, the quit question answered by a file (layout in platform/job_journal_format.h).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "platform/file_text.h"
#include "platform/job_journal_format.h"
#include "platform/registry.h"
#include "trhsm/EvDebug.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/KoFile.h"

namespace jj = trhsm::job_journal;

namespace {

constexpr const char kTag[] = "KOJobClient";

// "<operation> <subject>: <reason>" for the errno `error`; the subject is a path or "a -> b".
std::string SystemError(const char* operation, const std::string& subject, int error) {
  char buffer[256];
  return std::string(operation) + " " + subject + ": " + strerror_r(error, buffer, sizeof buffer);
}

// Builds one journal line, argument by argument.
class CallLine {
 public:
  explicit CallLine(const char* operation) : text_(operation) {}

  CallLine& Number(long long value) { return Add(std::to_string(value)); }
  CallLine& Unsigned(unsigned long long value) { return Add(std::to_string(value)); }
  CallLine& Text(const char* text) {
    return Add(text != nullptr ? jj::QuoteText(text) : jj::kNullPointer);
  }
  CallLine& List(const std::vector<std::string>* texts) {
    if (texts == nullptr) return Add(jj::kNullPointer);
    std::string list(1, jj::kListOpen);
    for (size_t i = 0; i < texts->size(); ++i) {
      if (i > 0) list += jj::kListSeparator;
      list += jj::QuoteText((*texts)[i]);
    }
    list += jj::kListClose;
    return Add(list);
  }
  const std::string& str() const { return text_; }

 private:
  CallLine& Add(const std::string& argument) {
    text_ += jj::kArgumentSeparator;
    text_ += argument;
    return *this;
  }
  std::string text_;
};

// Writes all of `data`, retrying on EINTR. A regular file opened with O_APPEND takes it in one
// write(2); the loop only matters for the short writes of a full disk.
bool WriteAll(int fd, const std::string& data, int* error) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool AppendLine(const std::string& path, const std::string& line) {
  // Built before the open and reported after the close: nothing between them may throw (an
  // exhausted heap would leak the descriptor).
  const std::string record = line + jj::kLineEnd;
  // The job-manager folder may be writable by others: a link planted under the name is refused,
  // a FIFO neither blocks the open nor takes the line, and a hard link to some other file is
  // refused after the open.
  int fd = open_utf(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0666);
  struct stat st;
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    ::close(fd);
    fd = -1;
    errno = EPERM;
  }
  if (fd < 0) {
    EvDebug().Error(kTag, "%s", SystemError("open", path, errno).c_str());
    return false;
  }
  int error = 0;
  const bool written = WriteAll(fd, record, &error);
  const bool closed = ::close(fd) == 0;
  const int closeError = errno;
  if (!written) {
    EvDebug().Error(kTag, "%s", SystemError("write", path, error).c_str());
  } else if (!closed) {
    EvDebug().Error(kTag, "%s", SystemError("close", path, closeError).c_str());
  }
  return written && closed;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when `operation` is in the comma-separated refusal list of the configuration store.
bool IsRefused(const char* operation) {
  std::string list;
  if (!trhsm::platform::RegistryLookup(jj::kRegistryKey, jj::kRefuseValue, &list)) return false;
  size_t start = 0;
  for (;;) {
    size_t end = list.find(jj::kRefuseSeparator, start);
    std::string name = list.substr(start, end == std::string::npos ? end : end - start);
    size_t first = name.find_first_not_of(" \t\r");
    if (first != std::string::npos) {
      name = name.substr(first, name.find_last_not_of(" \t\r") - first + 1);
      if (name == operation) return true;
    }
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

bool SyncFolder(const std::string& folder) {
  int fd = open_utf(folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) {
    EvDebug().Error(kTag, "%s", SystemError("open", folder, errno).c_str());
    return false;
  }
  // An interrupted fsync is not retried either: a failed one may have dropped the dirty state, and
  // a second call could then succeed with nothing on the disk.
  const int result = ::fsync(fd);
  if (result != 0) EvDebug().Error(kTag, "%s", SystemError("fsync", folder, errno).c_str());
  ::close(fd);
  return result == 0;
}

// Replaces `path` by a file holding `text`: written beside it, synced, then renamed over it, so a
// reader (or a crash) never meets a half-written file.
bool ReplaceFile(const std::string& folder, const std::string& path, const std::string& text) {
  static std::atomic<unsigned> counter{0};
  // Created exclusively and never through a link, so nothing planted under the name is written;
  // the random part keeps others from taking the name in advance (a taken name costs a retry).
  std::random_device random;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary = path + jj::kTemporaryInfix + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1)) + "." + std::to_string(random() % 1000000007u);
    fd = open_utf(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    EvDebug().Error(kTag, "%s", SystemError("open", temporary, errno).c_str());
    return false;
  }
  int error = 0;
  std::string failed;
  if (!WriteAll(fd, text, &error)) {
    failed = SystemError("write", temporary, error);
  } else {
    // Not retried (see SyncFolder): the rename must not publish a file that may not be on disk.
    if (::fsync(fd) != 0) failed = SystemError("fsync", temporary, errno);
  }
  if (::close(fd) != 0 && failed.empty()) failed = SystemError("close", temporary, errno);
  if (failed.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
    failed = SystemError("rename", temporary + " -> " + path, errno);
  }
  if (!failed.empty()) {
    EvDebug().Error(kTag, "%s", failed.c_str());
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename is durable only once the folder is synced; until then a crash may bring back the
  // previous restart file, which is whole too.
  return SyncFolder(folder);
}

// Removes `path` durably; true when it is gone (or was never there).
bool RemoveFile(const std::string& folder, const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return true;
    EvDebug().Error(kTag, "%s", SystemError("remove", path, errno).c_str());
    return false;
  }
  return SyncFolder(folder);
}

// The whole file at `path` into *text; a missing file is "" and true.
bool ReadText(const std::string& path, std::string* text) {
  const int error = trhsm::platform::ReadFileText(path.c_str(), text);
  if (error == 0 || error == ENOENT) return true;
  // Part of a restart string could name a wrong offset: ReadFileText hands out nothing.
  EvDebug().Error(kTag, "%s", SystemError("read", path, error).c_str());
  return false;
}

}  // namespace

// ---- KOJobClient

KOJobClient::KOJobClient() = default;
KOJobClient::~KOJobClient() = default;

bool KOJobClient::Admit(const char* operation, int64_t jobId, const std::string& line,
                        std::string* folder) {
  if (!trhsm::platform::RegistryLookup(jj::kRegistryKey, jj::kFolderValue, folder) ||
      folder->empty()) {
    if (!m_reportedUnusable) {
      m_reportedUnusable = true;
      EvDebug().Error(kTag, "%s refused: no job manager (%s is not configured under %s)", operation,
                      jj::kFolderValue, jj::kRegistryKey);
    }
    return false;
  }
  if (jobId == 0) {
    if (!m_reportedUnusable) {
      m_reportedUnusable = true;
      EvDebug().Error(kTag, "%s refused: the client has no job", operation);
    }
    return false;
  }
  if (!IsFolder(*folder)) {
    if (!m_reportedUnusable) {
      m_reportedUnusable = true;
      EvDebug().Error(kTag, "%s refused: the job manager folder %s (%s under %s) is not there: %s",
                      operation, folder->c_str(), jj::kFolderValue, jj::kRegistryKey,
                      "create it or correct the value");
    }
    return false;
  }
  if (!AppendLine(jj::JobFile(*folder, jobId, jj::kJournalSuffix), line)) return false;
  if (IsRefused(operation)) {
    EvDebug().Debug(kTag, "[%lld] %s refused by %s", static_cast<long long>(jobId), operation,
                    jj::kRefuseValue);
    return false;
  }
  return true;
}

bool KOJobClient::Record(const char* operation, const std::string& line, std::string* folder) {
  return Admit(operation, m_jobId, line, folder);
}

bool KOJobClient::RecordInit(const char* operation, int64_t jobId, const std::string& line) {
  std::string folder;
  if (!Admit(operation, jobId, line, &folder)) return false;
  m_jobId = jobId;
  return true;
}

bool KOJobClient::getRestartString(std::string* restart, JMRestartLookupType type) {
  if (restart != nullptr) restart->clear();
  std::string folder;
  if (!Record("getRestartString", CallLine("getRestartString").Number(type).str(), &folder)) {
    return false;
  }
  if (restart == nullptr) return false;
  return ReadText(jj::JobFile(folder, m_jobId, jj::kRestartSuffix), restart);
}

bool KOJobClient::setPendingCause(int cause, const std::vector<std::string>* messageArgs,
                                  bool append, EvMessageType messageType, int messageId, int param1,
                                  int param2, bool alert, JMGUIAlertColorLevel alertColor,
                                  JMPendingCauseFlags flags, int reserved1, int reserved2) {
  CallLine line("setPendingCause");
  line.Number(cause).List(messageArgs).Number(append).Number(messageType).Number(messageId);
  line.Number(param1).Number(param2).Number(alert).Number(alertColor).Number(flags);
  line.Number(reserved1).Number(reserved2);
  std::string folder;
  return Record("setPendingCause", line.str(), &folder);
}

// ---- KOBkpJobClient

KOBkpJobClient::KOBkpJobClient() = default;
KOBkpJobClient::~KOBkpJobClient() = default;

bool KOBkpJobClient::init(const char* name, int64_t jobId, int mode, KOS_PLATFORMTYPE platform,
                          bool interactive, const char* extra) {
  CallLine line("init");
  line.Text(name).Number(jobId).Number(mode).Number(platform).Number(interactive).Text(extra);
  return RecordInit("init", jobId, line.str());
}

bool KOBkpJobClient::complete(KOJobStatus status, KOJobStatusFor target, int errorCode,
                              KOPendingCause cause) {
  CallLine line("complete");
  line.Number(status).Number(target).Number(errorCode).Number(cause);
  std::string folder;
  if (!Record("complete", line.str(), &folder)) return false;
  // A phase or job that ended as a plain success is done: its next run starts from the beginning,
  // so the offset stored for it must go. An unfinished phase (flagged) or a failure keeps it.
  if (status != KOJS_SUCCESS) return true;
  return RemoveFile(folder, jj::JobFile(folder, jobId(), jj::kRestartSuffix));
}

bool KOBkpJobClient::concatPhaseParams(const char* text, KOJobStrCatAction action) {
  std::string folder;
  if (!Record("concatPhaseParams", CallLine("concatPhaseParams").Text(text).Number(action).str(),
              &folder)) {
    return false;
  }
  if (text == nullptr || action != KOJSCA_REPLACE) {
    EvDebug().Error(kTag, "[%lld] concatPhaseParams refused: %s", static_cast<long long>(jobId()),
                    text == nullptr ? "no text" : "only the replacing action is supported");
    return false;
  }
  return ReplaceFile(folder, jj::JobFile(folder, jobId(), jj::kRestartSuffix), text);
}

bool KOBkpJobClient::updateInfo(bool final, const char* details) {
  std::string folder;
  return Record("updateInfo", CallLine("updateInfo").Number(final).Text(details).str(), &folder);
}

bool KOBkpJobClient::addBackupFileFailures(int64_t count) {
  std::string folder;
  return Record("addBackupFileFailures", CallLine("addBackupFileFailures").Number(count).str(),
                &folder);
}

bool KOBkpJobClient::setFilesToXfer(int64_t count) {
  std::string folder;
  return Record("setFilesToXfer", CallLine("setFilesToXfer").Number(count).str(), &folder);
}

bool KOBkpJobClient::addStubSize(uint64_t size) {
  std::string folder;
  return Record("addStubSize", CallLine("addStubSize").Unsigned(size).str(), &folder);
}

bool KOBkpJobClient::setStubSize(uint64_t size) {
  std::string folder;
  return Record("setStubSize", CallLine("setStubSize").Unsigned(size).str(), &folder);
}

// ---- KOJobCtrlClient

KOJobCtrlClient::KOJobCtrlClient(int verboselevel) : m_verboseLevel(verboselevel) {}
KOJobCtrlClient::~KOJobCtrlClient() = default;

bool KOJobCtrlClient::Init2(int64_t jobId, const char* name, ControlFlags flags,
                            KOS_PLATFORMTYPE platform, const char* extra, const char* reserved) {
  CallLine line("Init2");
  line.Number(jobId).Text(name).Number(flags).Number(platform).Text(extra).Text(reserved);
  return RecordInit("Init2", jobId, line.str());
}

bool KOJobCtrlClient::checkQuitFlag() {
  std::string folder;
  if (!Record("checkQuitFlag", "checkQuitFlag", &folder)) return false;
  const std::string path = jj::JobFile(folder, jobId(), jj::kQuitSuffix);
  ++m_quitQuestions;
  std::string text;
  const int error = trhsm::platform::ReadFileText(path.c_str(), &text);
  if (error != 0) {
    if (error != ENOENT) EvDebug().Error(kTag, "%s", SystemError("read", path, error).c_str());
    return false;
  }
  // An empty file (or any other text) asks at once; a count asks from that question on.
  char* end = nullptr;
  errno = 0;
  const long after = std::strtol(text.c_str(), &end, 10);
  const bool counted = !text.empty() && errno == 0 && after > 0 &&
                       (*end == '\0' || (*end == '\n' && end[1] == '\0'));
  return !counted || m_quitQuestions >= after;
}

bool KOJobCtrlClient::finishedWork(int timeoutMs) {
  std::string folder;
  return Record("finishedWork", CallLine("finishedWork").Number(timeoutMs).str(), &folder);
}

bool KOJobCtrlClient::finishedWorkWithoutExit(int timeoutMs) {
  std::string folder;
  return Record("finishedWorkWithoutExit",
                CallLine("finishedWorkWithoutExit").Number(timeoutMs).str(), &folder);
}
