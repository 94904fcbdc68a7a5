// The shared helpers of the platform modules, each pinned once here for all their callers.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/common/FileRead.h"
#include "platform/common/FileWrite.h"
#include "platform/common/KeyValueText.h"
#include "platform/common/Text.h"
#include "platform/posix/FdIo.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::platform {
namespace {

TEST(TextTest, CaseFoldsOnlyAsciiLettersAndTrimReturnsTheMiddle) {
  // Bytes of UTF-8 sequences and punctuation next to the letter ranges stay as they are.
  const std::string mixed = "aZ@[`{09\xC3\xA9\xC3\x89";
  EXPECT_EQ(ToUpperAscii(mixed), "AZ@[`{09\xC3\xA9\xC3\x89");
  EXPECT_EQ(ToLowerAscii(mixed), "az@[`{09\xC3\xA9\xC3\x89");
  EXPECT_TRUE(EqualsNoCase("USB\\Vid_0781", "usb\\VID_0781"));
  EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89"));  // é and É are different bytes
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));

  const struct {
    std::string_view text, blanks, trimmed;
  } cases[] = {{"  Kingston  ", " ", "Kingston"},
               {"   ", " ", ""},
               {"", " ", ""},
               {"\t a b \r\n", " \t\r\n", "a b"},
               {"\tx\t", " ", "\tx\t"}};
  for (const auto& c : cases) EXPECT_EQ(Trim(c.text, c.blanks), c.trimmed) << c.text;
}

TEST(TextTest, Utf8EncodesEveryRangeAndCutsOnlyBetweenCharacters) {
  std::string out;
  for (char32_t code : {U'A', U'\u00E9', U'\u20AC', U'\U0001F600'}) AppendUtf8(out, code);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

  // A pair becomes one character; a lone half becomes "?"; the text ends at a NUL.
  const char16_t wide[] = {u'd', 0xD83D, 0xDE00, 0xD800, u'x', 0xDC00, 0, u'z'};
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(wide, 8)), "d\xF0\x9F\x98\x80?x?");

  const std::string name = "ab\xC3\xA9\xE2\x82\xAC";  // a b é €: 2 + 2 + 3 bytes
  const struct {
    std::size_t limit;
    std::string_view prefix;
  } cuts[] = {{0, ""},           {2, "ab"}, {3, "ab"},  {4, "ab\xC3\xA9"},
              {6, "ab\xC3\xA9"}, {7, name}, {100, name}};
  for (const auto& c : cuts) EXPECT_EQ(Utf8Prefix(name, c.limit), c.prefix) << c.limit;
  // A byte that starts no valid sequence counts as one character of its own.
  EXPECT_EQ(Utf8Prefix("a\xE9z", 2), "a\xE9");
  EXPECT_EQ(Utf8Prefix("a\xE2\x82", 2), "a\xE2");
}

TEST(KeyValueTextTest, SplitsLinesFieldsAndKeyValuesAndCountsWhatIsBad) {
  EXPECT_EQ(SplitFields("a\t\tb", '\t'), (std::vector<std::string_view>{"a", "", "b"}));
  EXPECT_EQ(SplitFields("", '\t'), (std::vector<std::string_view>{""}));
  EXPECT_EQ(SplitLines("a\r\n\nb"), (std::vector<std::string_view>{"a\r", "", "b"}));
  EXPECT_EQ(SplitLines("a\n"), (std::vector<std::string_view>{"a"}));

  const auto kv = SplitKeyValue("name=a=b");
  ASSERT_TRUE(kv);
  EXPECT_EQ(kv->key, "name");
  EXPECT_EQ(kv->value, "a=b");
  EXPECT_FALSE(SplitKeyValue("novalue"));

  const KeyValueLines good = ParseKeyValueLines("type=2\n\nname=E:\\x y\nempty=\n");
  EXPECT_EQ(good.entries.size(), 3u);
  EXPECT_EQ(good.badLines, 0u);
  EXPECT_FALSE(good.repeatedKey);
  ASSERT_TRUE(good.Find("name"));
  EXPECT_EQ(*good.Find("name"), "E:\\x y");
  EXPECT_EQ(*good.Find("empty"), "");
  EXPECT_FALSE(good.Find("missing"));

  const KeyValueLines bad = ParseKeyValueLines("a=1\nnoequals\n=x\na=2");
  EXPECT_EQ(bad.badLines, 2u);
  EXPECT_TRUE(bad.repeatedKey);
  EXPECT_EQ(*bad.Find("a"), "1");  // the first one
}

TEST(FileWriteTest, ReplacesWholeLeavesNoTemporaryAndKeepsTheOldFileOnFailure) {
  test::TempDir dir("uv-filewrite");
  const auto file = dir.path() / "state";
  ASSERT_EQ(WriteFileAtomically(file, "one\n"), kErrorSuccess);
  AtomicWriteOptions privateDurable;
  privateDurable.permissions = 0600;
  privateDurable.durable = true;
  ASSERT_EQ(WriteFileAtomically(file, "two\n", privateDurable), kErrorSuccess);
  EXPECT_EQ(test::ReadFile(file), "two\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  {
    // A writer given up before its commit leaves the old content.
    auto writer = AtomicFileWriter::Begin(file);
    ASSERT_TRUE(writer);
    ASSERT_EQ(writer->Write("half"), kErrorSuccess);
  }
  EXPECT_EQ(test::ReadFile(file), "two\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

  EXPECT_EQ(WriteFileAtomically(dir.path() / "missing" / "x", "y"), kErrorPathNotFound);

  // Appending: the header only into a file this call creates.
  const auto log = dir.path() / "log.csv";
  ASSERT_EQ(AppendToFile(log, "1\r\n", "H\r\n"), kErrorSuccess);
  ASSERT_EQ(AppendToFile(log, "2\r\n", "H\r\n"), kErrorSuccess);
  EXPECT_EQ(test::ReadFile(log), "H\r\n1\r\n2\r\n");
  EXPECT_EQ(AppendToFile(dir.path() / "missing" / "log", "x"), kErrorPathNotFound);
}

TEST(FdIoTest, WriteAllAndReadAllMoveEveryByteThroughAShortPipe) {
  ::signal(SIGPIPE, SIG_IGN);  // a write to a pipe without reader must fail, not kill us
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  // Far more than a pipe holds, so both loops see short transfers.
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::string read;
  int readError = -1;
  std::thread reader([&] {
    readError = ReadAll(fds[0], read);
    ::close(fds[0]);
  });
  EXPECT_EQ(WriteAll(fds[1], data), 0);
  ::close(fds[1]);
  reader.join();
  EXPECT_EQ(readError, 0);
  EXPECT_EQ(read, data);

  std::string limited;
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ASSERT_EQ(WriteAll(fds[1], "abcdef"), 0);
  EXPECT_EQ(ReadAll(fds[0], limited, 4), 0);
  EXPECT_EQ(limited, "abcd");
  ::close(fds[0]);
  EXPECT_EQ(WriteAll(fds[1], "x"), EPIPE);  // the reader is gone: the error, not a success
  ::close(fds[1]);
}

TEST(FileReadTest, ReadsInPiecesOfTheBufferAndGoesOnPastTheLengthAtOpen) {
  test::TempDir dir("uv-read");
  const auto file = dir.path() / "journal.log";
  std::ofstream(file, std::ios::binary) << "0123456789";
  auto reader = FileReader::Open(file);
  ASSERT_TRUE(reader.ok()) << reader.error();
  EXPECT_EQ(reader->SizeAtOpen(), 10u);
  // A writer appends after the open: the length at open stays, the reading goes on to the end.
  std::ofstream(file, std::ios::binary | std::ios::app) << "abc";
  char buffer[4];
  std::string got;
  for (;;) {
    auto n = reader->Read(buffer);
    ASSERT_TRUE(n.ok()) << n.error();
    if (*n == 0) break;
    EXPECT_LE(*n, sizeof buffer);
    got.append(buffer, *n);
  }
  EXPECT_EQ(got, "0123456789abc");
  EXPECT_EQ(reader->SizeAtOpen(), 10u);

  FileReader moved = std::move(*reader);
  EXPECT_EQ(reader->Read(buffer).error(), kErrorInvalidHandle);
  EXPECT_EQ(*moved.Read(buffer), 0u);
}

TEST(FileReadTest, RefusesWhatIsNoRegularFileWithoutWaitingAndTruncatesOnlyExistingFiles) {
  test::TempDir dir("uv-read");
  const auto fifo = dir.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::filesystem::path path;
    WinError error;
  };
  const Case cases[] = {
      {dir.path() / "missing", kErrorFileNotFound},
      {dir.path() / "missing" / "deeper", kErrorFileNotFound},
      {dir.path(), kErrorAccessDenied},  // a folder
      {fifo, kErrorAccessDenied},        // would block a reader without a writer
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileReader::Open(c.path).error(), c.error) << c.path;
  }

  const auto file = dir.path() / "journal.log";
  std::ofstream(file, std::ios::binary) << "lines\r\n";
  EXPECT_EQ(TruncateFile(file), kErrorSuccess);
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
  EXPECT_EQ(TruncateFile(dir.path() / "missing"), kErrorFileNotFound);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

}  // namespace
}  // namespace uv::platform
