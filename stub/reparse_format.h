// The reparse text inside a stub record: the one place that says how it is laid out.
//
//   layout 2: f0:f1:f2:f3:f4:2:n:<n bytes stub GUID>:<appId>[:<appGUID>:<extra>]|<time>
//   layout 1: f0:f1:f2:f3:f4:1:n:<n bytes, the file name><1 byte, "|">[<app part>|]<time>
//   short:    f0:f1:f2:f3:f4
// f0 to f3, the layout, n and appId are decimal; f4, the time and extra are 64-bit decimal. The
// GUID is taken by its length n, so it may hold ":" itself.
#ifndef TRHSM_STUB_REPARSE_FORMAT_H_
#define TRHSM_STUB_REPARSE_FORMAT_H_

#include <cstddef>

namespace trhsm {
namespace reparse_text {

constexpr char kFieldSeparator[] = ":";
constexpr char kTimeSeparator[] = "|";

constexpr int kShortFormFields = 5;  // f0 to f4
constexpr int kLeadingFields = 7;    // f0 to f4, the layout and the GUID length
constexpr int kLayoutWithFileName = 1;
constexpr int kLayoutWithStubGuid = 2;

// Texts are taken out of a stub into a buffer of this size: at most 1023 bytes and the NUL.
constexpr size_t kStubTextBufferSize = 1024;

}  // namespace reparse_text
}  // namespace trhsm

#endif  // TRHSM_STUB_REPARSE_FORMAT_H_
