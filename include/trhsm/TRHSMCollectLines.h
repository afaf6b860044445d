// Collect-file lines: the writer and the line readers.
//
// A collect file holds one file per line, either a timed line (S name S time S, S the separator
// byte) or a plain line (the name). None of these functions keeps state or locks; a stream or a
// writer belongs to the one thread that uses it.
#ifndef TRHSM_TRHSMCOLLECTLINES_H_
#define TRHSM_TRHSMCOLLECTLINES_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "trhsm/trhsm_export.h"

// One collect-file item: a file name and its time in seconds.
class TRHSM_EXPORT HSMCollectFile {
 public:
  // Builds an empty name and a zero time; a reader sets both when it yields an item.
  HSMCollectFile();
  ~HSMCollectFile();

  std::string fileName;
  long itemTime;
};

// Writes a collect file. Calling order: construct, Initialize, SetSeperator, AddToCollectFile any
// number of times, DeInitialize. Not thread-safe. Not copyable: the writer owns its stream.
class TRHSM_EXPORT CollectFile {
 public:
  // Closed, no separator, flag false.
  CollectFile();
  // Finishes the file as DeInitialize does if that was not called (its result goes unreported);
  // while an exception unwinds the stack, the old file stays instead and the temporary goes.
  ~CollectFile();
  CollectFile(const CollectFile&) = delete;
  CollectFile& operator=(const CollectFile&) = delete;

  // Finishes a file that is still open (as DeInitialize), then starts the file `path`. The lines
  // go to a new temporary file beside it (`path` + ".tmp." and six letters, created exclusively)
  // that replaces `path` only in DeInitialize, so an earlier file stays as it was until the new
  // one is whole, and a symbolic link under the name is replaced rather than followed; a device
  // or FIFO at `path` is written directly. Returns 1 and keeps the path on success; 0 when the
  // file cannot be created, leaving the writer closed and `path` unchanged.
  int Initialize(std::string path);
  // Sets the separator byte S of timed lines; zero (the initial value) refuses every line.
  void SetSeperator(char separator);
  void SetAddAncestorFlag(bool flag);
  bool GetAddAncestorFlag();

  // Appends one line for `name`: "S name S time S\n" when withTime, else "name\n". A zero time
  // with withTime stands for the current time of day in whole seconds. The unnamed bool is unused.
  // Returns 1 and sets the add-ancestor flag when the line was handed to the stream; 0, writing
  // nothing, when the writer is closed, no separator is set, the name is null, empty or holds a
  // newline, or the clock cannot be read; 0 also when the stream reports a write error (then or
  // earlier: the file has lost a line, and a partial line may remain). Lines are buffered: an
  // error flushing the last of them shows only in DeInitialize's result.
  int AddToCollectFile(char* name, bool, bool withTime, long time);

  // Closes the file if it is open: flushes, syncs, closes and renames the temporary file over
  // `path`, then syncs the folder. Returns 1, or 0 when lines written since Initialize could not
  // all reach the file (a write, sync or close error: the temporary file is removed and `path`
  // left as it was) or the folder could not be synced (`path` holds the new file, whole).
  int DeInitialize();

  FILE* file;            // the open collect file; null when closed
  HSMCollectFile item;   // kept with the writer, unused by its operations
  std::string path;      // path given to the last successful Initialize
  bool addAncestorFlag;  // turns true with each line written; only the caller resets it
  char separator;        // S; zero when not set

 private:
  // The stream's buffer, larger than stdio's default so that a long list costs few write calls;
  // it outlives every stream the writer opens.
  std::vector<char> m_streamBuffer;
  // The temporary file that DeInitialize renames to `path`; empty when writing `path` directly.
  std::string m_tempPath;
};

// Reads the next timed line of `stream` into `item`, whose name is cleared first.
// Bytes before the first `separator` of the line are discarded; the rest of the line, newline
// included, must fit in 2047 bytes. The name is the text before the second-last separator, the
// time the atol value of the text between the last two (0 without digits); the separators are
// found from the end, so a name holding the separator is read whole.
// Returns 1 for an item; 0 when there is none: end of the stream or a read error, or a line that
// is no whole timed line (a plain line, a missing separator, a NUL byte, more than 2047 bytes, or a
// last line without its newline). The line is consumed whole in every case, so the next call reads
// the next line. Returns -1 when `stream` is null.
TRHSM_EXPORT int GetLineFromCollectFile(FILE* stream, char separator, HSMCollectFile& item);

// Reads the next line of `stream` into `buffer` of `size` bytes, the newline replaced by a NUL.
// Returns 1 for a whole line (at most size - 1 bytes before its newline; an empty line gives an
// empty text). Returns -1 for a line that does not fit or holds a NUL byte: the line is consumed
// whole and the buffer holds at most its first size - 1 bytes and a NUL, never to be taken for the
// line. Returns 0 at the end of the stream or on a read error: a last line without its newline is
// not delivered, though the buffer holds what of it fits, NUL-terminated. A null stream or buffer
// or a zero size gives 0 and reads nothing.
TRHSM_EXPORT int GetLine(FILE* stream, char* buffer, size_t size);

// GetLine into a character array: `char buf[1024]; GetLine(fp, buf);`.
template <size_t N>
int GetLine(FILE* stream, char (&buffer)[N]) {
  return GetLine(stream, buffer, N);
}

// Number of lines of the file at `path` (a last line without its newline counts as one, a line of
// any length once); 0 for an empty file or one that cannot be opened.
TRHSM_EXPORT unsigned long CountLines(const char* path);

// Writes `text` up to its first NUL and a newline to `stream`; does nothing when `stream` is null.
// Write errors stay in the stream's error flag.
TRHSM_EXPORT void write_to_file(FILE* stream, std::string& text);

#endif  // TRHSM_TRHSMCOLLECTLINES_H_
