// Extended attributes (ACLs included: they are the "system.posix_acl_*" attributes) carried from
// one open file to another, for the programs that replace a file by a new one beside it.
#ifndef TRHSM_TOOLS_XATTRS_H_
#define TRHSM_TOOLS_XATTRS_H_

#include <string>

namespace trhsm_tools {

// Copies every extended attribute of the file open at `fromFd` onto the file open at `toFd`.
// Returns false with *error set ("read extended attributes: ...", "set extended attribute NAME:
// ...") when one cannot be listed, read or set; the destination may then hold some of them, so a
// caller applies them to a file it can discard. A source with no attributes, or on a file system
// without them, copies nothing and succeeds. Not thread-safe only as far as the files are shared.
// ACLs adjust the mode's group bits, so call this after fchmod.
bool CopyXattrs(int fromFd, int toFd, std::string* error);

}  // namespace trhsm_tools

#endif  // TRHSM_TOOLS_XATTRS_H_
