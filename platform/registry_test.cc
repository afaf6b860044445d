// The configuration store as KOPlatformInfo reads it.
#include <gtest/gtest.h>

#include <string>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"

namespace {

TEST(RegistryTest, ValuesAreKeptExactlyAndBadLinesLoggedOnce) {
  trhsm_test::ScratchDir dir;
  const std::string store = dir.File("registry");
  trhsm_test::ScopedEnv env("KO_REGISTRY", store);
  trhsm_test::LogCapture log;
  trhsm_test::WriteFile(store,
                        "orphan=1\n# c=1\n\n[Base]\r\nsA=a=b  \nno equals\r\nsCR=v\r\n"
                        "sE=\nsB=old\n[O]\nsL=1\n[Base]\nsB=new\n[Broken\nsB=lost");
  // (key, name, value), "-" for none.
  const char* const rows[][3] = {
      {"Base", "sA", "a=b  "}, {"Base", "sCR", "v"}, {"Base", "sE", ""},
      {"Base", "sB", "new"},   {"O", "sL", "1"},     {"Base", "sL", "-"},
      {"Base", "orphan", "-"}, {"Base", "# c", "-"}, {"base", "sA", "-"}};
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& r : rows) {
      std::string value;
      const bool found = KOPlatformInfo().getString(r[0], r[1], &value) != 0;
      EXPECT_EQ(found ? value : "-", r[2]) << r[0] << "/" << r[1];
    }
  }
  // Each line of no known form is logged the first time the store is read, with its number.
  for (const char* line :
       {" line 1 ignored: a value before", " line 6 ignored: neither", " line 14 ignored: "}) {
    const std::string text = log.Text(), logged = store + line;
    EXPECT_NE(text.find(logged), std::string::npos) << line << " in " << text;
    EXPECT_EQ(text.find(logged), text.rfind(logged)) << text;
  }
}

}  // namespace
