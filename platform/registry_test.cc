// The configuration store as KOPlatformInfo reads it.
#include <gtest/gtest.h>

#include <string>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"

namespace {

TEST(RegistryTest, ValuesAreKeptExactlyAndBadLinesLoggedOnce) {
  trhsm_test::ScratchDir dir;
  trhsm_test::ScopedEnv env("KO_REGISTRY", dir.File("registry"));
  trhsm_test::LogCapture log;
  trhsm_test::WriteFile(dir.File("registry"),
                        "orphan=before any key\n# c=1\n\n[Base]\r\nsA=a=b  \nno equals\r\n"
                        "sCRLF=value\r\nsEMPTY=\nsB=old\n[Other]\nsLAST=no line end\n"
                        "[Base]\nsB=new\n[Broken\nsB=lost");
  const struct {
    const char *key, *name, *value;  // nullptr: absent
  } rows[] = {
      {"Base", "sA", "a=b  "},  {"Base", "sCRLF", "value"},        {"Base", "sEMPTY", ""},
      {"Base", "sB", "new"},    {"Other", "sLAST", "no line end"}, {"Base", "orphan", nullptr},
      {"Base", "# c", nullptr}, {"Base", "sLAST", nullptr},        {"base", "sA", nullptr}};
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& r : rows) {
      std::string value = "untouched";
      EXPECT_EQ(KOPlatformInfo().getString(r.key, r.name, &value) != 0, r.value != nullptr);
      EXPECT_EQ(value, r.value ? r.value : "untouched") << r.key << "/" << r.name;
    }
  }
  const std::string text = log.Text();
  for (const char* line :
       {" line 1 ignored: a value before", " line 6 ignored: neither", " line 14 ignored: "}) {
    const size_t at = text.find(dir.File("registry") + line);
    EXPECT_NE(at, std::string::npos) << line << " in " << text;
    EXPECT_EQ(text.find(dir.File("registry") + line, at + 1), std::string::npos) << text;
  }
}

}  // namespace
