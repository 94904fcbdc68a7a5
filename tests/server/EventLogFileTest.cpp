// The log file on disk: header only in files we create, appends, lost lines on bad paths.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/app/EventLogFile.h"

namespace fs = std::filesystem;
using namespace uv::server;

namespace {

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/uv-log-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  fs::path dir_;
};

}  // namespace

TEST_F(LogFileTest, HeaderOnceThenLines) {
  const fs::path file = dir_ / "console.log";
  ASSERT_TRUE(AppendLogLine(file.string(), "a,b\r\n"));
  ASSERT_TRUE(AppendLogLine(file.string(), "c,d\r\n"));
  EXPECT_EQ(Read(file), "Date,Time,Computer Name,IP Address,Category,Message\r\na,b\r\nc,d\r\n");
}

TEST_F(LogFileTest, FileOfSomeoneElseGetsNoHeader) {
  const fs::path file = dir_ / "theirs.log";
  std::ofstream(file, std::ios::binary) << "existing\r\n";
  ASSERT_TRUE(AppendLogLine(file.string(), "x\r\n"));
  EXPECT_EQ(Read(file), "existing\r\nx\r\n");
}

TEST_F(LogFileTest, DeletedFileIsCreatedAgainWithHeader) {
  const fs::path file = dir_ / "again.log";
  ASSERT_TRUE(AppendLogLine(file.string(), "1\r\n"));
  fs::remove(file);
  ASSERT_TRUE(AppendLogLine(file.string(), "2\r\n"));
  EXPECT_EQ(Read(file), std::string(kLogHeader) + "2\r\n");
}

TEST_F(LogFileTest, BadPathsLoseTheLineQuietly) {
  EXPECT_FALSE(AppendLogLine((dir_ / "missing" / "x.log").string(), "1\r\n"));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
  EXPECT_FALSE(AppendLogLine("", "1\r\n"));
  EXPECT_FALSE(AppendLogLine(dir_.string(), "1\r\n"));  // a folder, not a file
}

TEST_F(LogFileTest, BackslashesAreFolderSeparators) {
  fs::create_directory(dir_ / "sub");
  const std::string stored = dir_.string() + "\\sub\\w.log";
  ASSERT_TRUE(AppendLogLine(stored, "z\r\n"));
  EXPECT_EQ(Read(dir_ / "sub" / "w.log"), std::string(kLogHeader) + "z\r\n");
}
