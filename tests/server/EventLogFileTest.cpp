// The log file on disk: header only in files we create, appends, lost lines on bad paths, and
// the writer that keeps the file open between lines.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "server/app/EventLogFile.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace uv::server;

namespace {

using uv::test::ReadFile;

class LogFileTest : public ::testing::Test {
 protected:
  uv::test::TempDir temp_{"uv-log"};
  const fs::path dir_ = temp_.path();
};

}  // namespace

TEST_F(LogFileTest, HeaderOnceThenLines) {
  const fs::path file = dir_ / "console.log";
  ASSERT_TRUE(AppendLogLine(file.string(), "a,b\r\n"));
  ASSERT_TRUE(AppendLogLine(file.string(), "c,d\r\n"));
  EXPECT_EQ(ReadFile(file),
            "Date,Time,Computer Name,IP Address,Category,Message\r\na,b\r\nc,d\r\n");
}

TEST_F(LogFileTest, FileOfSomeoneElseGetsNoHeader) {
  const fs::path file = dir_ / "theirs.log";
  std::ofstream(file, std::ios::binary) << "existing\r\n";
  ASSERT_TRUE(AppendLogLine(file.string(), "x\r\n"));
  EXPECT_EQ(ReadFile(file), "existing\r\nx\r\n");
}

TEST_F(LogFileTest, DeletedFileIsCreatedAgainWithHeader) {
  const fs::path file = dir_ / "again.log";
  ASSERT_TRUE(AppendLogLine(file.string(), "1\r\n"));
  fs::remove(file);
  ASSERT_TRUE(AppendLogLine(file.string(), "2\r\n"));
  EXPECT_EQ(ReadFile(file), std::string(kLogHeader) + "2\r\n");
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
  EXPECT_EQ(ReadFile(dir_ / "sub" / "w.log"), std::string(kLogHeader) + "z\r\n");
}

// The writer that stays open between lines must behave as if it opened the path for every line:
// whatever happens to the file between two lines takes effect at the second one.
TEST_F(LogFileTest, KeptOpenFileFollowsWhatHappensToThePath) {
  const std::string header(kLogHeader);
  struct Case {
    const char* name;
    std::function<void(const fs::path& file, const fs::path& dir)> between;
    std::string expectedAtPath;
    std::string expectedMoved;  // in dir/moved.log, when the case moves the file
  };
  const std::vector<Case> cases = {
      {"nothing", [](const fs::path&, const fs::path&) {}, header + "1\r\n2\r\n", ""},
      {"deleted", [](const fs::path& f, const fs::path&) { fs::remove(f); }, header + "2\r\n", ""},
      {"moved away", [](const fs::path& f, const fs::path& d) { fs::rename(f, d / "moved.log"); },
       header + "2\r\n", header + "1\r\n"},
      {"truncated by another program",
       [](const fs::path& f, const fs::path&) { fs::resize_file(f, 0); }, "2\r\n", ""},
      {"cut to its header",
       [&](const fs::path& f, const fs::path&) { fs::resize_file(f, header.size()); },
       header + "2\r\n", ""},
      {"replaced by another program's file",
       [](const fs::path& f, const fs::path& d) {
         std::ofstream(d / "new.tmp", std::ios::binary) << "theirs\r\n";
         fs::rename(d / "new.tmp", f);
       },
       "theirs\r\n2\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = dir_ / std::to_string(&c - cases.data());
    fs::create_directory(dir);
    const fs::path file = dir / "console.log";
    EventLogFile log;
    ASSERT_TRUE(log.Append(file.string(), "1\r\n"));
    // Complete in the file as soon as the call returns, though the file is still open.
    EXPECT_EQ(ReadFile(file), header + "1\r\n");
    c.between(file, dir);
    ASSERT_TRUE(log.Append(file.string(), "2\r\n"));
    EXPECT_EQ(ReadFile(file), c.expectedAtPath);
    if (!c.expectedMoved.empty()) {
      EXPECT_EQ(ReadFile(dir / "moved.log"), c.expectedMoved);
    }
  }
}

TEST_F(LogFileTest, KeptOpenFileTakesAChangedPathAtTheNextLine) {
  EventLogFile log;
  const fs::path first = dir_ / "first.log";
  const fs::path second = dir_ / "second.log";
  ASSERT_TRUE(log.Append(first.string(), "1\r\n"));
  ASSERT_TRUE(log.Append(first.string(), "2\r\n"));
  ASSERT_TRUE(log.Append(second.string(), "3\r\n"));
  ASSERT_TRUE(log.Append(first.string(), "4\r\n"));  // back: an existing file, no second header
  EXPECT_EQ(ReadFile(first), std::string(kLogHeader) + "1\r\n2\r\n4\r\n");
  EXPECT_EQ(ReadFile(second), std::string(kLogHeader) + "3\r\n");

  // A path that cannot be written loses its line; the next good one is written as usual.
  EXPECT_FALSE(log.Append((dir_ / "missing" / "x.log").string(), "5\r\n"));
  EXPECT_FALSE(log.Append("", "6\r\n"));
  EXPECT_FALSE(log.Append(dir_.string(), "7\r\n"));
  fs::create_directory(dir_ / "missing");
  EXPECT_TRUE(log.Append((dir_ / "missing" / "x.log").string(), "8\r\n"));
  EXPECT_EQ(ReadFile(dir_ / "missing" / "x.log"), std::string(kLogHeader) + "8\r\n");
  EXPECT_EQ(ReadFile(first), std::string(kLogHeader) + "1\r\n2\r\n4\r\n");
}

TEST_F(LogFileTest, KeptOpenFileWritesTheHeaderOnceOverManyLines) {
  EventLogFile log;
  const fs::path file = dir_ / "many.log";
  std::string expected(kLogHeader);
  for (int i = 0; i < 500; ++i) {
    const std::string line = "line " + std::to_string(i) + "\r\n";
    ASSERT_TRUE(log.Append(file.string(), line));
    expected += line;
  }
  EXPECT_EQ(ReadFile(file), expected);
}
