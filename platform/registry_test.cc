// The configuration store: CRLF line ends and lines of no known form. Values against an
// independent reading of the store: the fuzz target.
#include <gtest/gtest.h>

#include <string>

#include "testing/test_util.h"
#include "trhsm/KOPlatformInfo.h"

TEST(RegistryTest, CrlfLinesReadAsLfAndABadLineIsLoggedOnceWithItsNumber) {
  trhsm_test::LogCapture log;
  const trhsm_test::Sandbox box;  // its registry: two lines of its own, then the text set here
  box.SetRegistry("[Base]\r\nsCR=a=b \r\nno equals\r\nsE=\r\n");
  for (const char* name : {"sCR", "sE", "sCR"}) {  // each question reads the store afresh
    std::string value = "?";
    EXPECT_NE(KOPlatformInfo().getString("Base", name, &value), 0) << name;
    EXPECT_EQ(value, name[1] == 'C' ? "a=b " : "") << name;
  }
  const std::string text = log.Text(), logged = box.File("registry") + " line 5 ignored: neither";
  EXPECT_NE(text.find(logged), std::string::npos) << text;
  EXPECT_EQ(text.find(logged), text.rfind(logged)) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
}
