// The reparse text parser and the stub readers, which agree with it on the text raw and put into a
// stub record; a refusal leaves their outputs alone.
#include <tuple>

#include "fuzz/fuzz_check.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

auto Fields(const ReparseData& a) {
  return std::tie(a.field0, a.field1, a.field2, a.field3, a.field4, a.layout, a.stubGUID, a.appId,
                  a.appGUID, a.reparseTime, a.extraNumber);
}

void CheckReaders(std::vector<char> stub, const std::string* carried) {
  std::string text = "mark", appGUID = "mark", stubGUID = "mark";
  const int got = GetStubReparseData(stub, text);
  FUZZ_CHECK(got == 1 ? text.size() < 1024 : got == 0 && text == "mark");
  FUZZ_CHECK(!carried || (got == (carried->size() < 1024) && (!got || text == *carried)));
  ReparseData direct, parsed, fresh;
  const int ok =
      got == 1 && ParseStubReparseData(text, parsed) == 1 && ParseStubReparseData(text, fresh);
  FUZZ_CHECK(ParseStubData(stub, direct) == ok && (!got || Fields(direct) == Fields(parsed)));
  FUZZ_CHECK(GetAppGUIDAndStubGUIDFromStubData(stub, appGUID, stubGUID) == ok);
  FUZZ_CHECK(ok ? appGUID == fresh.appGUID && stubGUID == (fresh.layout == 2 ? fresh.stubGUID : "")
                : appGUID == "mark" && stubGUID == "mark");
  uint32_t appId = 7;
  const int read = GetAppIdAndGUIDFromStubData(stub, appId, stubGUID = "mark");
  FUZZ_CHECK(read == 1 ? got == 1 && (stubGUID == "mark" || text.find(stubGUID) != text.npos)
                       : read == 0 && appId == 7 && stubGUID == "mark");
}

}  // namespace

static const int kLogs = trhsm_fuzz::QuietLogs("7");

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(trhsm_fuzz::Text(data, size)), carried = text.substr(0, text.find('\0'));
  ReparseData parsed;
  const int ok = ParseStubReparseData(text, parsed);  // its GUIDs are the text's own bytes
  FUZZ_CHECK((ok == 0 || ok == 1) && (!ok || (text.find(parsed.stubGUID) != text.npos &&
                                              text.find(parsed.appGUID) != text.npos)));
  if (!carried.empty() && carried.size() <= 65509) {
    std::vector<char> stub(carried.size() + 26);
    FUZZ_CHECK(trhsm_meta2stub(carried.c_str(), 7, stub.data(), stub.size()) == int(stub.size()));
    CheckReaders(stub, &carried);
  }
  CheckReaders(std::vector<char>(text.begin(), text.end()), nullptr);
  return 0;
}
