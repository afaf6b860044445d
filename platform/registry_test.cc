// The configuration store as KOPlatformInfo reads it.
#include <gtest/gtest.h>

#include <string>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"

namespace {

TEST(RegistryTest, ValuesAreKeptExactlyAndBadLinesLoggedOnce) {
  trhsm_test::LogCapture log;
  const trhsm_test::Sandbox box;  // its registry: two lines of its own, then the text set here
  box.SetRegistry(
      "# c=1\n[Base]\r\nsA=a=b  \nno equals\r\nsCR=v\r\nsE=\nsB=old\n[O]\nsL=1\n"
      "[Base]\nsB=new\n[Broken\nsB=lost");
  // (key, name, value), "-" for none.
  const char* const rows[][3] = {{"Base", "sA", "a=b  "}, {"Base", "sCR", "v"}, {"Base", "sE", ""},
                                 {"Base", "sB", "new"},   {"O", "sL", "1"},     {"Base", "sL", "-"},
                                 {"Base", "# c", "-"},    {"base", "sA", "-"}};
  for (const auto& r : rows) {  // each question reads the store afresh
    std::string value;
    const bool found = KOPlatformInfo().getString(r[0], r[1], &value) != 0;
    EXPECT_EQ(found ? value : "-", r[2]) << r[0] << "/" << r[1];
  }
  // Each line of no known form is logged the first time it is read, with its number.
  for (const char* line : {" line 6 ignored: neither", " line 14 ignored: "}) {
    const std::string text = log.Text(), logged = box.File("registry") + line;
    EXPECT_NE(text.find(logged), std::string::npos) << line << " in " << text;
    EXPECT_EQ(text.find(logged), text.rfind(logged)) << text;
  }
}

}  // namespace
