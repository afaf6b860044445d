// The collect-file readers that feed a stubbing pass: the abstract reader and its two kinds, the
// direct reader (a stub collect file and a stub list side by side) and the database reader (the
// backup index's answer for one job, or a ready turbo-mode file).
#ifndef TRHSM_TRHSMCOLLECTFILE_H_
#define TRHSM_TRHSMCOLLECTFILE_H_

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trhsm/EvDebug.h"
#include "trhsm/TRHSMCmdLine.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/trhsm_export.h"

// The reader interface of a stubbing pass. Calling order: construct, optionally SetFailureFile and
// SetAppTypeGUID, Initialize, Open, GetItem until it returns something other than 1, destroy.
// Every message is logged through the reader's own copy of the job's EvEvent, tagged with the
// operation's full name. A reader belongs to the one job thread that made it; it is not copyable
// because it owns its streams.
class TRHSM_EXPORT TRHSMCollectFile {
 public:
  // Copies `events`.
  explicit TRHSMCollectFile(EvEvent& events);
  virtual ~TRHSMCollectFile();
  TRHSMCollectFile(const TRHSMCollectFile&) = delete;
  TRHSMCollectFile& operator=(const TRHSMCollectFile&) = delete;

  // Fixes the input to be read; `name` is the turbo-mode collect file of the database reader.
  // Returns 1 when the input is ready to be opened, 0 otherwise.
  virtual int Initialize(std::string& name) = 0;
  // Initialize(name) with an empty name, through its virtual slot.
  virtual int Initialize() = 0;
  // Opens the input; returns 1, or 0 after logging why not.
  virtual int Open() = 0;
  // REQUIRES: a successful Open. Fills `item` and the out-parameters for the next file and returns
  // 1; returns 0 when the input is exhausted (the database reader also -1, see there). At entry
  // `inode` is set to all ones, `fileSize` to -1 and `stubStatus` emptied, so a value the reader
  // does not produce keeps these markers.
  virtual int GetItem(HSMCollectFile& item, std::string& reparseData, std::string& metaData,
                      unsigned long& inode, long long& fileSize, std::string& stubStatus) = 0;
  // The stream that skip reports go to: a file created (or emptied) at `path`, or a stream the
  // caller owns.
  virtual void SetFailureFile(std::string& path) = 0;
  virtual void SetFailureFile(FILE* stream) = 0;
  // Writes `text` and a line feed to the failure stream when there is one.
  virtual void WriteToFailures(const char* text) = 0;
  // The application type GUID written into turbo-mode reparse texts.
  virtual void SetAppTypeGUID(const std::string& guid) = 0;

  EvEvent m_events;  // the reader's copy of the job's event reporter
};

// Reads the n-th timed line of the stub collect file together with the n-th line of the stub list
// ("reparse data|inode", or the reparse data alone). The failure stream and GUID are ignored.
class TRHSM_EXPORT TRHSMCollectFileReader : public TRHSMCollectFile {
 public:
  // Copies both; opens nothing.
  TRHSMCollectFileReader(TRHSM_CMDLINE_ARGS& args, EvEvent& events);
  // Closes the streams that Open opened.
  ~TRHSMCollectFileReader() override;

  // Ignores `name`; takes the two paths from the record's stubFileName and stubListName. Returns 1.
  int Initialize(std::string& name) override;
  int Initialize() override;
  // Opens both files (mode "r+"); 0 with an error line when a name is empty or a file cannot be
  // opened (a stub collect file already opened stays open until destruction).
  int Open() override;
  // Returns 1 with `item`, `reparseData` and `inode` set (`metaData` untouched, `fileSize` -1,
  // `stubStatus` empty). Returns 0 with the error "Either Failed to read %s and %s or both ended"
  // when either file has ended or its next line cannot be read: no timed line, or a stub list line
  // of 1024 bytes or more, which is never handed out cut.
  int GetItem(HSMCollectFile& item, std::string& reparseData, std::string& metaData,
              unsigned long& inode, long long& fileSize, std::string& stubStatus) override;
  // These four do nothing.
  void SetFailureFile(std::string& path) override;
  void SetFailureFile(FILE* stream) override;
  void WriteToFailures(const char* text) override;
  void SetAppTypeGUID(const std::string& guid) override;

  TRHSM_CMDLINE_ARGS m_args;   // the reader's copy of the job argument record
  FILE* m_stubFile;            // stub collect file; null until Open
  FILE* m_stubList;            // stub list; null until Open
  std::string m_stubListName;  // empty until Initialize
  std::string m_stubFileName;  // empty until Initialize
};

// Reads the items of one backup job from a collect file of comma-separated lines: in normal mode
// one that the backup index query writes into the collect folder (seven columns), in turbo mode a
// ready file named to Initialize (at least eight columns).
class TRHSM_EXPORT TRHSMCollectFileDBReader : public TRHSMCollectFile {
 public:
  // Copies the record and `events`. Normal mode takes the job id (snapJobIdText when snapFlag is
  // set), the column list for `appType` and names the collect file
  // fileNamePrefix + "_" + job id + ".kof"; turbo mode does none of this.
  TRHSMCollectFileDBReader(TRHSM_CMDLINE_ARGS& args, EvEvent& events, bool turbo,
                           const std::string& fileNamePrefix, unsigned long appType);
  // Closes the collect file, and the failure file if SetFailureFile(path) opened it; never a
  // stream the caller handed in.
  ~TRHSMCollectFileDBReader() override;

  // Removes earlier jobs' list files (result ignored). Turbo mode: takes `fileName` as the collect
  // file and returns 1. Normal mode: returns 1 at once when collectFolder + the collect file's name
  // exists; otherwise runs the query into it and returns 1 when it wrote at least one line, 0 after
  // an error line when it failed or wrote none.
  int Initialize(std::string& fileName) override;
  int Initialize() override;
  // Opens the collect file for reading; 0 after a message when that fails. Takes the log level
  // (KO_LOG_LEVEL) that GetItem's per-line diagnostics obey from then on.
  int Open() override;
  // Returns 1 with the next usable item; lines that cannot be stubbed are logged, reported to the
  // failure stream when skipReportSwitch is set, and passed over, and so are lines of 2048 bytes
  // or more and normal-mode file names of 1024 bytes or more (never handed out cut). Returns 0 at
  // the end of the data (logged as an error "Finished processing collect file data from collect
  // file %s"), and in normal mode -1 for a line of fewer than five columns (the next call goes on
  // with the next line). `stubStatus` is decided afresh for every line.
  int GetItem(HSMCollectFile& item, std::string& reparseData, std::string& metaData,
              unsigned long& inode, long long& fileSize, std::string& stubStatus) override;
  // Removes, from collectFolder, every entry whose name holds "dbStubList" ("dbStubListTurbo" in
  // turbo mode) but not the job id in decimal, and every entry whose name holds "earlyStubBackup".
  // Only entries of the listed folder are removed (a symbolic link itself, not its target), also
  // when collectFolder lacks its trailing "/". Returns 1, or 0 when the folder cannot be opened.
  int CleanUpPreviousJobResults();
  // Writes to `outPath` the name of each timed line of `inPath` up to its last ':' (names without
  // ':' give no line), stopping at the first line that is no timed line. The list replaces
  // `outPath` only once whole (a temporary file beside it, renamed over it). Returns 1; 0 without
  // a message when a file cannot be opened; 0 with an error logged when reading the input or
  // writing the list failed, `outPath` then left as it was.
  int ProcessStubCollectFile(std::string& inPath, std::string& outPath);
  // Opens `path` ("w+") as the failure stream, owned by the reader; a failed open leaves none. A
  // symbolic link, or a file that is not this user's own with one link, under the name is
  // replaced by a new file, never written through.
  // Replacing or destroying closes a stream opened this way.
  void SetFailureFile(std::string& path) override;
  // Takes `stream` as the failure stream; the caller keeps owning it.
  void SetFailureFile(FILE* stream) override;
  void WriteToFailures(const char* text) override;
  void SetAppTypeGUID(const std::string& guid) override;

  bool m_turbo;                // turbo mode
  TRHSM_CMDLINE_ARGS m_args;   // the reader's copy of the job argument record
  std::string m_dstFileName;   // normal: name in collectFolder; turbo: path given to Initialize
  std::string m_formatString;  // column list of the query (normal mode)
  unsigned long m_appType;     // application type number
  std::string m_stowhostName;  // media host passed to the query
  FILE* m_collectFp;           // collect file; null until Open
  long long m_jobId;           // backup job whose items are read
  FILE* m_failureFp;           // failure stream; null until SetFailureFile
  std::string m_appTypeGUID;   // written into turbo-mode reparse texts

 private:
  int GetTurboItem(HSMCollectFile& item, std::string& reparseData, std::string& metaData,
                   unsigned long& inode, long long& fileSize, std::string& stubStatus);
  int GetNormalItem(HSMCollectFile& item, std::string& reparseData, std::string& metaData,
                    unsigned long& inode, std::string& stubStatus);
  // Reads the next line into m_line (NUL-terminated, m_lineLength bytes): 1 for a whole line, 0
  // at the end; a line too long for the buffer or holding a NUL byte is logged, reported and
  // passed over.
  int NextLine();
  // Writes `text` to the failure stream when skipReportSwitch is set.
  void ReportSkip(const std::string& text);
  void CloseOwnedFailureFile();

  bool m_ownsFailureFp = false;  // m_failureFp came from SetFailureFile(path)
  // Whether GetItem's per-line diagnostics at levels 2, 3 and 7 are written, fixed by Open: the
  // log level is not looked up again for every line.
  bool m_logLevel2 = false;
  bool m_logLevel3 = false;
  bool m_logLevel7 = false;
  std::vector<char> m_line;                // line buffer, reused for every line
  size_t m_lineLength = 0;                 // bytes of the current line
  std::vector<std::string_view> m_tokens;  // columns of the current line
  std::string m_scratch;                   // unquoted columns of the current line
  std::string m_text;                      // skip texts and file-name scratch
};

#endif  // TRHSM_TRHSMCOLLECTFILE_H_
