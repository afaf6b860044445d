// The configuration store behind KOPlatformInfo: a text file named by KO_REGISTRY.
//
//   # a comment                 (lines starting with '#', and blank lines, are ignored)
//   [Machines/clientA]          opens a key; a key opened again later adds to the same key
//   sHOST_NAME=host.example     a value of the current key: the name is every byte before the first
//                               '=', the value every byte after it up to the end of the line,
//                               kept exactly (blanks included)
//
// A line may end in "\r\n" instead of "\n": the '\r' is not part of the line (a store written with
// CRLF line ends reads like one written with LF). A key line is '[' ... ']'. Any other line (a key
// line without its ']', a line without '=', a value before the first key) is ignored and logged
// once per process with its line number; the values after a damaged key line are ignored too. When
// a name appears twice under one key the later value wins. Keys and names compare as exact bytes.
#ifndef TRHSM_PLATFORM_REGISTRY_H_
#define TRHSM_PLATFORM_REGISTRY_H_

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace trhsm {
namespace platform {

struct RegistryKey {
  std::string path;
  std::vector<std::pair<std::string, std::string>> values;  // in file order, names may repeat
};

// A line of the store that was ignored: its number (from 1), why, and the line itself.
struct RegistryFault {
  size_t line;
  const char* reason;
  std::string text;
};

// The keys of the store text `text`, distinct, in order of first appearance. The lines ignored for
// their form are added to *faults when it is not null.
std::vector<RegistryKey> ParseRegistry(const std::string& text,
                                       std::vector<RegistryFault>* faults = nullptr);

// The keys of the store that KO_REGISTRY names now, read afresh from the file. An unset variable or
// a missing file gives an empty store; a file that exists but cannot be read is logged and gives an
// empty store too. Each ignored line is logged the first time it is met. Thread-safe.
std::vector<RegistryKey> LoadRegistry();

// True when `name` exists under `key` in the current store; *value (when not null) then holds it.
bool RegistryLookup(const std::string& key, const std::string& name, std::string* value);

// The paths of every key of the current store, distinct, in order of first appearance.
std::vector<std::string> RegistryKeys();

}  // namespace platform
}  // namespace trhsm

#endif  // TRHSM_PLATFORM_REGISTRY_H_
