// Client identity, installation queries, directory creation and the mandatory-lock probe.
#ifndef TRHSM_TRHSMENVIRONMENT_H_
#define TRHSM_TRHSMENVIRONMENT_H_

#include <sys/stat.h>

#include <string>

#include "trhsm/trhsm_export.h"

// Each configuration query below reads the client's configuration store afresh through an object
// made for the one question, never writes it, and is thread-safe.

// Copies the installation's base directory into `buffer` (`size` bytes), cut to size - 1 bytes and
// NUL-terminated. Returns 0; -1 when buffer is null or size is below 1 (nothing written), or when
// no directory is configured (buffer[0] is then NUL).
TRHSM_EXPORT int GetVeloraPath(char* buffer, int size);

// Copies the host name of the client that this process serves into `buffer` (`size` bytes), cut to
// size - 1 bytes and NUL-terminated. Returns 0; -1 when buffer is null or size is below 1, when no
// client is being served, or when its host name is missing or empty; the buffer is then untouched.
TRHSM_EXPORT int GetClientName(char* buffer, int size);

// Reads the value `name` under `key` into `buffer` (`size` bytes), NUL-terminated. Returns 0; -1
// when buffer is null or size is below 1 (nothing written), and -1 with buffer[0] NUL when the
// value is missing or does not fit with its terminator. `flag` has no effect.
TRHSM_EXPORT int GetRegistryItemValue(const char* key, const char* name, char* buffer, int size,
                                      bool flag);
// Reads the value `name` under `key` into `value`. Returns 0; -1 when it is missing (`value` is
// then unchanged). `flag` has no effect.
TRHSM_EXPORT int GetRegistryItemValue(const char* key, const char* name, std::string& value,
                                      bool flag);

// Creates the directory `path` (mode 0777 less the umask) and any missing parents, for a path of
// any length the kernel accepts. Returns 1 when `path` is a directory afterwards (also when it
// already was); 0 when path is null or empty, when a component cannot be created (errno tells why,
// ENOTDIR below a regular file for instance), or when `path` exists but is not a directory (errno
// EEXIST). Directories created before a failure stay. Safe against other processes creating the
// same directories at the same time.
TRHSM_EXPORT int CreateDir(const char* path);

// The one configured client whose key "Machines/<client>/TSLY" holds a value "nINSTALL" (whatever
// its content): the client that carries the data-migrator agent. Throws KoException (code -1) when
// no client has it ("Failed to find node name with Tessaly installed.") or when two do, naming the
// first two in the store's client order.
TRHSM_EXPORT std::string getTRHSMClientName();

// True when the value "nINSTALL" under "Machines/<client>/UnixTessaly" is exactly "1". A null
// client gives false.
TRHSM_EXPORT bool IsTSLYInstalledOnVm(const char* client);

// True when IsTSLYInstalledOnVm holds for some configured client.
TRHSM_EXPORT bool IsTSLYInstalled();

// Probes whether another process holds a write lock on `path`, a file set up for mandatory locking
// (set-group-ID bit without group execute). `st`, when not null and not describing a symbolic link,
// is taken as the file's status; otherwise the path is stat'ed, following links.
// Returns 1 when the file is set up for mandatory locking and another process holds a write lock on
// any part of it; 0 when no other process does, or when the file is not set up for mandatory
// locking (it is then not opened); -1, after logging why, when the file cannot be stat'ed, opened
// for reading and writing, or probed.
// The file is opened and closed: closing drops any classic (fcntl/lockf) record lock that the
// calling process itself holds on it, so a process must not probe a file it has locked that way.
TRHSM_EXPORT int trhsmIsMandLocked(const char* path, struct stat* st);

#endif  // TRHSM_TRHSMENVIRONMENT_H_
