// The collect-file writer: exact bytes, refusals and reopening. Its faults are a row of the
// write-path harness (tests/write_paths_test.cc).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "testing/test_util.h"
#include "trhsm/TRHSMCollectLines.h"

namespace {

using trhsm_test::ReadFile;
using trhsm_test::ScratchDir;
using trhsm_test::WriteFile;

int Add(CollectFile& writer, std::string name, bool withTime, long time) {
  return writer.AddToCollectFile(&name[0], false, withTime, time);
}

class CollectFileWriter : public ::testing::Test {
 protected:
  // Opens the writer on `path` with "|" as its separator.
  void Open() {
    ASSERT_EQ(writer.Initialize(path), 1);
    writer.SetSeperator('|');
  }

  ScratchDir dir;
  const std::string path = dir.File("collect");
  CollectFile writer;
};

TEST_F(CollectFileWriter, WritesTimedAndPlainLines) {
  Open();
  EXPECT_EQ(writer.path, path);
  EXPECT_FALSE(writer.GetAddAncestorFlag());
  EXPECT_EQ(Add(writer, "/a/b", true, 42), 1);
  EXPECT_TRUE(writer.GetAddAncestorFlag());
  EXPECT_EQ(Add(writer, "/a/b", false, 42), 1);
  EXPECT_EQ(Add(writer, "/n", true, -7), 1);
  EXPECT_EQ(Add(writer, "/min", true, LONG_MIN), 1);
  EXPECT_EQ(Add(writer, "/max", true, LONG_MAX), 1);
  writer.SetAddAncestorFlag(false);
  EXPECT_EQ(Add(writer, "/x|y", true, 1), 1);
  EXPECT_TRUE(writer.GetAddAncestorFlag());
  EXPECT_EQ(writer.DeInitialize(), 1);
  EXPECT_EQ(writer.file, nullptr);
  EXPECT_EQ(ReadFile(path),
            "|/a/b|42|\n/a/b\n|/n|-7|\n|/min|-9223372036854775808|\n"
            "|/max|9223372036854775807|\n|/x|y|1|\n");
}

TEST_F(CollectFileWriter, RefusesWithoutSeparatorNameOrOpenFile) {
  EXPECT_EQ(Add(writer, "/a", false, 0), 0);  // not initialized
  ASSERT_EQ(writer.Initialize(path), 1);
  EXPECT_EQ(Add(writer, "/a", false, 0), 0);  // no separator yet
  EXPECT_EQ(Add(writer, "/a", true, 5), 0);
  writer.SetSeperator('|');
  EXPECT_EQ(Add(writer, "", false, 0), 0);
  EXPECT_EQ(Add(writer, "", true, 5), 0);
  EXPECT_EQ(writer.AddToCollectFile(nullptr, false, true, 5), 0);
  // A newline would make two lines, read as two other files.
  EXPECT_EQ(Add(writer, "/a\n|/b|5|", true, 5), 0);
  EXPECT_EQ(Add(writer, "/a\n", false, 0), 0);
  EXPECT_FALSE(writer.GetAddAncestorFlag());
  EXPECT_EQ(writer.DeInitialize(), 1);
  EXPECT_EQ(writer.DeInitialize(), 1);
  EXPECT_EQ(Add(writer, "/a", false, 0), 0);  // closed again
  EXPECT_EQ(ReadFile(path), "");
}

TEST_F(CollectFileWriter, ZeroTimeIsTheCurrentTime) {
  Open();
  const long before = static_cast<long>(std::time(nullptr));
  ASSERT_EQ(Add(writer, "/now", true, 0), 1);
  const long after = static_cast<long>(std::time(nullptr));
  ASSERT_EQ(writer.DeInitialize(), 1);
  FILE* fp = std::fopen(path.c_str(), "r");
  ASSERT_NE(fp, nullptr);
  HSMCollectFile item;
  EXPECT_EQ(GetLineFromCollectFile(fp, '|', item), 1);
  std::fclose(fp);
  EXPECT_EQ(item.fileName, "/now");
  EXPECT_GE(item.itemTime, before);
  EXPECT_LE(item.itemTime, after);
}

TEST_F(CollectFileWriter, InitializeTruncatesReopensAndKeepsPathOnFailure) {
  WriteFile(dir.File("first"), "old content\n");
  ASSERT_EQ(writer.Initialize(dir.File("first")), 1);
  writer.SetSeperator('|');
  ASSERT_EQ(Add(writer, "/1", true, 1), 1);
  // Reopening closes the first file, so its buffered line reaches it.
  ASSERT_EQ(writer.Initialize(dir.File("second")), 1);
  EXPECT_EQ(ReadFile(dir.File("first")), "|/1|1|\n");
  EXPECT_EQ(writer.path, dir.File("second"));
  ASSERT_EQ(Add(writer, "/2", true, 2), 1);

  EXPECT_EQ(writer.Initialize(dir.File("missing/dir/file")), 0);
  EXPECT_EQ(writer.path, dir.File("second"));
  EXPECT_EQ(writer.file, nullptr);
  EXPECT_EQ(Add(writer, "/3", true, 3), 0);
  EXPECT_EQ(ReadFile(dir.File("second")), "|/2|2|\n");
}

TEST_F(CollectFileWriter, DestructorClosesAnOpenFile) {
  {
    CollectFile local;
    ASSERT_EQ(local.Initialize(path), 1);
    local.SetSeperator('|');
    ASSERT_EQ(Add(local, "/kept", false, 0), 1);
  }
  EXPECT_EQ(ReadFile(path), "/kept\n");
}

}  // namespace
