// Activity log on real files: its place beside the executable, CR LF on disk, reset, and a log that cannot be opened.
#include "tuning/activity_log.h"
#include "test_support.h"

namespace {

class ActivityLogTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetLog();
    ASSERT_STRNE(LogPath(), "");
  }
  void TearDown() override {
    RemoveDirectoryA(LogPath());
    DeleteFileA(LogPath());
  }
};

TEST_F(ActivityLogTest, LivesBesideTheExecutable) {
  EXPECT_EQ(std::string(LogPath()), ExeDir() + "Satae.dat");
}

TEST_F(ActivityLogTest, StoresTextsBackToBackWithCrLf) {
  AppendLog("Current CPU Freq is 100.000\n");
  AppendLog("Now Current CPU Freq is 100.100\n");
  AppendLog("two\nlines\n");
  EXPECT_EQ(ReadLogBytes(),
            "Current CPU Freq is 100.000\r\nNow Current CPU Freq is 100.100\r\ntwo\r\nlines\r\n");
}

TEST_F(ActivityLogTest, WritesTextVerbatimNeverAsAFormat) {
  AppendLog("%s%n%d%%\n");
  AppendLog("no line feed");
  EXPECT_EQ(ReadLogBytes(), "%s%n%d%%\r\nno line feed");
}

TEST_F(ActivityLogTest, ResetDeletesThePreviousLog) {
  AppendLog("from the last run\n");
  ASSERT_TRUE(LogFileExists());
  ResetLog();
  EXPECT_FALSE(LogFileExists());
  AppendLog("fresh\n");
  EXPECT_EQ(ReadLogBytes(), "fresh\r\n");
  ResetLog();  // and again with nothing there: no harm
  EXPECT_FALSE(LogFileExists());
}

TEST_F(ActivityLogTest, ALogThatCannotBeOpenedDropsTextsAndRecovers) {
  // A folder where the log file should be: every open fails.
  ASSERT_TRUE(CreateDirectoryA(LogPath(), nullptr));
  AppendLog("lost\n");
  EXPECT_TRUE(GetFileAttributesA(LogPath()) & FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(RemoveDirectoryA(LogPath()));
  AppendLog("kept\n");
  EXPECT_EQ(ReadLogBytes(), "kept\r\n");
}

}  // namespace
