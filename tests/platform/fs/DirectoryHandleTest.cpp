#include "platform/fs/DirectoryHandle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <map>

#include "tests/platform/fs/FsTestSupport.h"

namespace uv::platform {
namespace {

using testing::AppendFile;
using testing::Change;
using testing::ChangeReader;
using testing::TempDir;
using testing::WriteFile;
namespace fs = std::filesystem;

constexpr std::uint32_t kAdded = kFileActionAdded;
constexpr std::uint32_t kRemoved = kFileActionRemoved;
constexpr std::uint32_t kModified = kFileActionModified;
constexpr std::uint32_t kOld = kFileActionRenamedOldName;
constexpr std::uint32_t kNew = kFileActionRenamedNewName;

// --- opening ---

TEST(DirectoryHandleOpenTest, ReportsWhyADirectoryCannotBeOpened) {
  TempDir dir;
  EXPECT_EQ(DirectoryHandle::Open(dir.path() / "missing").error(), kErrorFileNotFound);
  EXPECT_EQ(DirectoryHandle::Open(dir.path() / "no" / "such").error(), kErrorPathNotFound);
  WriteFile(dir.path() / "plain", "x");
  EXPECT_EQ(DirectoryHandle::Open(dir.path() / "plain").error(), kErrorDirectory);
  auto good = DirectoryHandle::Open(dir.path());
  ASSERT_TRUE(good.ok());
  EXPECT_TRUE((*good)->IsOpen());
  (*good)->Close();
  (*good)->Close();
  EXPECT_FALSE((*good)->IsOpen());
}

TEST(DirectoryHandleOpenTest, DriveRootOpensTheBackingDirectory) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  DriveMap drives;
  drives.Set('E', dir.path());
  auto root = DirectoryHandle::OpenOnDrive(drives, "E:\\");
  ASSERT_TRUE(root.ok());
  EXPECT_EQ((*root)->Directory(), dir.path());
  auto sub = DirectoryHandle::OpenOnDrive(drives, "e:\\sub");
  ASSERT_TRUE(sub.ok());
  EXPECT_EQ((*sub)->Directory(), dir.path() / "sub");
  EXPECT_EQ(DirectoryHandle::OpenOnDrive(drives, "F:\\").error(), kErrorPathNotFound);
  EXPECT_EQ(DirectoryHandle::OpenOnDrive(drives, "E:\\..\\").error(), kErrorInvalidName);
}

TEST(DirectoryHandleOpenTest, VolumeHoldIsKeptUntilTheHandleCloses) {
  struct Hold : IVolumeHold {
    explicit Hold(int& live) : live_(live) { ++live_; }
    ~Hold() override { --live_; }
    int& live_;
  };
  TempDir dir;
  int live = 0;
  auto handle = DirectoryHandle::Open(dir.path(), std::make_unique<Hold>(live));
  ASSERT_TRUE(handle.ok());
  EXPECT_EQ(live, 1);
  EXPECT_NE((*handle)->VolumeHold(), nullptr);
  (*handle)->Close();
  EXPECT_EQ(live, 0);
  EXPECT_EQ((*handle)->VolumeHold(), nullptr);
}

// --- misuse of reads ---

TEST(DirectoryHandleReadTest, RefusesReadsItCannotServe) {
  TempDir dir;
  auto handle = DirectoryHandle::Open(dir.path());
  ASSERT_TRUE(handle.ok());
  alignas(4) std::array<std::byte, 4096> buffer{};
  Overlapped overlapped{};
  // Not associated with a port: nothing could ever deliver the completion.
  EXPECT_EQ((*handle)->ReadChanges(buffer, true, 0xB, &overlapped), kErrorInvalidParameter);

  auto port = CompletionPort::Create();
  ASSERT_TRUE(port.ok());
  ASSERT_EQ((*handle)->AssociateWith(**port, 1), kErrorSuccess);
  EXPECT_EQ((*handle)->AssociateWith(**port, 2), kErrorInvalidParameter);
  EXPECT_EQ((*handle)->ReadChanges(std::span(buffer).subspan(1, 100), true, 0xB, &overlapped),
            kErrorInvalidParameter);
  EXPECT_EQ((*handle)->ReadChanges(buffer, true, 0xB, nullptr), kErrorInvalidParameter);
  ASSERT_EQ((*handle)->ReadChanges(buffer, true, 0xB, &overlapped), kErrorSuccess);
  EXPECT_EQ((*handle)->ReadChanges(buffer, true, 0xB, &overlapped), kErrorInvalidParameter);

  // Closing completes the pending read with an error, and only once.
  (*handle)->Close();
  auto aborted = (*port)->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(aborted.ok());
  EXPECT_EQ(aborted->key, 1u);
  EXPECT_EQ(aborted->error, kErrorOperationAborted);
  EXPECT_EQ(aborted->bytes, 0u);
  EXPECT_EQ(aborted->overlapped, &overlapped);
  EXPECT_EQ(overlapped.status, kErrorOperationAborted);
  EXPECT_EQ((*port)->Wait(std::chrono::milliseconds(20)).error(), kWaitTimeout);
  EXPECT_EQ((*handle)->ReadChanges(buffer, true, 0xB, &overlapped), kErrorInvalidHandle);
}

TEST(DirectoryHandleReadTest, HandleMayOutliveItsPort) {
  TempDir dir;
  auto handle = DirectoryHandle::Open(dir.path());
  ASSERT_TRUE(handle.ok());
  alignas(4) std::array<std::byte, 4096> buffer{};
  Overlapped overlapped{};
  {
    auto port = CompletionPort::Create();
    ASSERT_TRUE(port.ok());
    ASSERT_EQ((*handle)->AssociateWith(**port, 1), kErrorSuccess);
    ASSERT_EQ((*handle)->ReadChanges(buffer, true, 0xB, &overlapped), kErrorSuccess);
  }
  WriteFile(dir.path() / "after", "x");
  (*handle)->Close();  // its abort goes nowhere; nothing may crash or leak
  EXPECT_EQ(overlapped.status, kErrorOperationAborted);
}

// --- what is reported ---

TEST(DirectoryChangesTest, CreateWriteDeleteAndRenameOfFiles) {
  TempDir dir;
  WriteFile(dir.path() / "old.txt", "12345");
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);

  WriteFile(dir.path() / "new.txt", "");
  AppendFile(dir.path() / "new.txt", "grows");
  fs::rename(dir.path() / "old.txt", dir.path() / "renamed.txt");
  fs::remove(dir.path() / "new.txt");
  WriteFile(dir.path() / "end", "");
  const auto changes = reader.CollectThrough("end");
  const std::vector<Change> expected{{kAdded, "new.txt"},   {kModified, "new.txt"},
                                     {kOld, "old.txt"},     {kNew, "renamed.txt"},
                                     {kRemoved, "new.txt"}, {kAdded, "end"}};
  EXPECT_EQ(changes, expected);
}

TEST(DirectoryChangesTest, OnlySizeChangesCountAsModified) {
  TempDir dir;
  WriteFile(dir.path() / "known.txt", "");
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  WriteFile(dir.path() / "mine.txt", "abc");  // created while watched: its size is known
  WriteFile(dir.path() / "s1", "");
  ASSERT_EQ(reader.CollectThrough("s1").size(), 3u);

  // Time stamps alone, and a rewrite of the same size, are not size changes.
  ASSERT_EQ(utime((dir.path() / "known.txt").c_str(), nullptr), 0);
  ASSERT_EQ(utime((dir.path() / "mine.txt").c_str(), nullptr), 0);
  chmod((dir.path() / "mine.txt").c_str(), 0600);
  {
    const int fd = open((dir.path() / "mine.txt").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "xyz", 3, 0), 3);
    close(fd);
  }
  WriteFile(dir.path() / "s2", "");
  EXPECT_EQ(reader.CollectThrough("s2"), (std::vector<Change>{{kAdded, "s2"}}));
  // Growing and shrinking are.
  AppendFile(dir.path() / "known.txt", "more");
  fs::resize_file(dir.path() / "mine.txt", 1);
  WriteFile(dir.path() / "s3", "");
  const std::vector<Change> expected{
      {kModified, "known.txt"}, {kModified, "mine.txt"}, {kAdded, "s3"}};
  EXPECT_EQ(reader.CollectThrough("s3"), expected);
}

TEST(DirectoryChangesTest, SubtreeNamesUseBackslashesAndNewFoldersAreWatchedAtOnce) {
  TempDir dir;
  fs::create_directories(dir.path() / "a" / "b");
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);

  WriteFile(dir.path() / "a" / "b" / "deep.txt", "");
  // A folder created and filled before the watcher could have looked at it.
  fs::create_directories(dir.path() / "New folder" / "inner");
  WriteFile(dir.path() / "New folder" / "doc.txt", "");
  WriteFile(dir.path() / "New folder" / "inner" / "x.bin", "");
  WriteFile(dir.path() / "end", "");
  auto changes = reader.CollectThrough("end");

  // Every entry exactly once; parents before their contents.
  std::map<std::string, int> seen;
  for (const auto& change : changes) {
    EXPECT_EQ(change.action, kAdded) << change;
    ++seen[change.name];
  }
  const std::map<std::string, int> expected{
      {"a\\b\\deep.txt", 1},           {"New folder", 1},
      {"New folder\\inner", 1},        {"New folder\\doc.txt", 1},
      {"New folder\\inner\\x.bin", 1}, {"end", 1}};
  EXPECT_EQ(seen, expected);
  const auto position = [&](const std::string& name) {
    return std::find(changes.begin(), changes.end(), Change{kAdded, name}) - changes.begin();
  };
  EXPECT_LT(position("New folder"), position("New folder\\doc.txt"));
  EXPECT_LT(position("New folder\\inner"), position("New folder\\inner\\x.bin"));

  // Later changes inside the new folders are seen too.
  WriteFile(dir.path() / "New folder" / "inner" / "later", "");
  EXPECT_EQ(reader.CollectThrough("New folder\\inner\\later"),
            (std::vector<Change>{{kAdded, "New folder\\inner\\later"}}));
}

TEST(DirectoryChangesTest, FoldersRenamedMovedInAndMovedOut) {
  TempDir dir;
  TempDir outside;
  fs::create_directories(dir.path() / "a");
  fs::create_directories(outside.path() / "incoming" / "child");
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);

  fs::rename(dir.path() / "a", dir.path() / "b");
  WriteFile(dir.path() / "b" / "f", "");
  fs::rename(outside.path() / "incoming", dir.path() / "incoming");
  WriteFile(dir.path() / "incoming" / "child" / "g", "");
  fs::rename(dir.path() / "b", outside.path() / "gone");
  WriteFile(outside.path() / "gone" / "unseen", "");  // outside now: not ours to report
  WriteFile(dir.path() / "end", "");
  const std::vector<Change> expected{{kOld, "a"},
                                     {kNew, "b"},
                                     {kAdded, "b\\f"},
                                     {kAdded, "incoming"},
                                     {kAdded, "incoming\\child"},
                                     {kAdded, "incoming\\child\\g"},
                                     {kRemoved, "b"},
                                     {kAdded, "end"}};
  EXPECT_EQ(reader.CollectThrough("end"), expected);
}

TEST(DirectoryChangesTest, FilterAndSubtreeSwitchSelectWhatIsReported) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  ChangeReader filesOnly(dir.path(), true, kNotifyChangeFileName);
  ASSERT_EQ(filesOnly.Issue(), kErrorSuccess);
  filesOnly.SetPending(true);
  ChangeReader topOnly(dir.path(), false);
  ASSERT_EQ(topOnly.Issue(), kErrorSuccess);
  topOnly.SetPending(true);

  fs::create_directory(dir.path() / "folder");
  WriteFile(dir.path() / "sub" / "inner", "");
  WriteFile(dir.path() / "top", "");
  AppendFile(dir.path() / "top", "size");
  WriteFile(dir.path() / "end", "");
  EXPECT_EQ(filesOnly.CollectThrough("end"),
            (std::vector<Change>{{kAdded, "sub\\inner"}, {kAdded, "top"}, {kAdded, "end"}}));
  EXPECT_EQ(topOnly.CollectThrough("end"),
            (std::vector<Change>{
                {kAdded, "folder"}, {kAdded, "top"}, {kModified, "top"}, {kAdded, "end"}}));
}

TEST(DirectoryChangesTest, NamesThatAreNotUtf8KeepTheirValidParts) {
  TempDir dir;
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  WriteFile(dir.path() / "caf\xC3\xA9-\xF0\x9F\x98\x80", "");  // é and an emoji (surrogate pair)
  WriteFile(dir.path() / "bad\xFF\xC3-\xED\xA0\x80.txt", "");  // stray bytes, an encoded surrogate
  WriteFile(dir.path() / "end", "");
  const std::vector<Change> expected{
      {kAdded, "caf\xC3\xA9-\xF0\x9F\x98\x80"},
      {kAdded, "bad\xEF\xBF\xBD\xEF\xBF\xBD-\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD.txt"},
      {kAdded, "end"}};
  EXPECT_EQ(reader.CollectThrough("end"), expected);
}

TEST(DirectoryChangesTest, RecordsAreAlignedAndFillTheBufferAcrossReads) {
  TempDir dir;
  ChangeReader reader(dir.path(), true, 0xB, 256);
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  std::vector<Change> expected;
  for (int i = 0; i < 40; ++i) {
    const std::string name =
        "file-" + std::string(static_cast<std::size_t>(i % 7), 'x') + std::to_string(i);
    WriteFile(dir.path() / name, "");
    expected.push_back({kAdded, name});
  }
  // 40 records of 30 to 50 bytes do not fit in 256 bytes: they come over several reads, all kept.
  EXPECT_EQ(reader.CollectThrough(expected.back().name), expected);
  EXPECT_EQ(reader.overflows(), 0);
}

TEST(DirectoryChangesTest, RecordLargerThanTheBufferIsAnOverflowAndTheNextOneComes) {
  TempDir dir;
  ChangeReader reader(dir.path(), true, 0xB, 64);
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  WriteFile(dir.path() / std::string(100, 'n'), "");
  WriteFile(dir.path() / "ok", "");
  EXPECT_EQ(reader.CollectThrough("ok"), (std::vector<Change>{{kAdded, "ok"}}));
  EXPECT_EQ(reader.overflows(), 1);
  EXPECT_EQ(reader.handle().LostCount(), 1u);
}

TEST(DirectoryChangesTest, PathsDeeperThanPathMaxAreWatchedAndReported) {
  TempDir dir;
  ChangeReader reader(dir.path(), true, 0xB, 64 * 1024);
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  // 50 levels of 100-byte names: over 5000 bytes, more than one path may hold.
  const std::string level(100, 'd');
  int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string expectedPath;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(mkdirat(fd, level.c_str(), 0755), 0);
    const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    ASSERT_GE(fd, 0);
    expectedPath += (i == 0 ? "" : "\\") + level;
  }
  const int file = openat(fd, "bottom.txt", O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(file, 0);
  close(file);
  close(fd);
  const std::string bottom = expectedPath + "\\bottom.txt";
  const auto changes = reader.CollectThrough(bottom);
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back(), (Change{kAdded, bottom}));
  EXPECT_EQ(changes.size(), 51u);
}

TEST(DirectoryChangesTest, KernelQueueOverflowIsReportedAndWatchingGoesOn) {
  TempDir dir;
  ChangeReader reader(dir.path());
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  // Nobody waits on the port while these happen, so the kernel's queue (16384 by default)
  // overflows; the folder made last is lost with it, and must still be watched afterwards.
  for (int i = 0; i < 20000; ++i) {
    const std::string name = (dir.path() / ("f" + std::to_string(i))).string();
    const int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  fs::create_directory(dir.path() / "late");
  reader.CollectUntil([&](const std::vector<Change>&) { return reader.overflows() > 0; });
  ASSERT_EQ(reader.overflows(), 1);
  EXPECT_GT(reader.handle().LostCount(), 0u);
  // Drain what is left, then check the folder made during the overflow is watched.
  reader.CollectUntil([](const std::vector<Change>&) { return false; },
                      std::chrono::milliseconds(300));
  WriteFile(dir.path() / "late" / "inside", "");
  const auto after = reader.CollectThrough("late\\inside");
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), (Change{kAdded, "late\\inside"}));
}

TEST(DirectoryChangesTest, FolderWithMoreEntriesThanCanBeKeptIsAnOverflowNotAFlood) {
  TempDir dir;
  TempDir outside;
  // More entries than the changes kept between two reads (32768): made outside, moved in whole.
  const fs::path big = outside.path() / "big";
  fs::create_directory(big);
  for (int i = 0; i < 33000; ++i) {
    const int fd = open((big / std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  ChangeReader reader(dir.path(), true, 0xB, 64 * 1024);
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  fs::rename(big, dir.path() / "big");
  auto changes = reader.CollectUntil([&](const std::vector<Change>&) { return false; },
                                     std::chrono::milliseconds(1500));
  EXPECT_EQ(reader.overflows(), 1);
  EXPECT_GT(reader.handle().LostCount(), 0u);
  // What could not be kept was dropped, not queued: far fewer records than entries came.
  EXPECT_LT(changes.size(), 33000u);
  // The folder is watched all the same.
  WriteFile(dir.path() / "big" / "after", "");
  changes = reader.CollectThrough("big\\after");
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back(), (Change{kAdded, "big\\after"}));
}

TEST(DirectoryChangesTest, RemovedDirectoryDeliversWhatItSawThenFails) {
  TempDir parent;
  const fs::path drive = parent.path() / "volume";
  fs::create_directory(drive);
  ChangeReader reader(drive);
  ASSERT_EQ(reader.Issue(), kErrorSuccess);
  reader.SetPending(true);
  WriteFile(drive / "last", "");
  fs::remove_all(drive);
  const auto changes = reader.CollectUntil([](const std::vector<Change>&) { return false; });
  ASSERT_GE(changes.size(), 2u);
  EXPECT_EQ(changes[0], (Change{kAdded, "last"}));
  EXPECT_EQ(changes[1], (Change{kRemoved, "last"}));
  EXPECT_EQ(reader.lastError(), kErrorAccessDenied);
  EXPECT_EQ(reader.Issue(), kErrorAccessDenied);
  EXPECT_TRUE(reader.handle().IsOpen());
}

// --- walking records ---

std::vector<std::byte> Record(std::uint32_t next, std::uint32_t action, std::u16string name,
                              std::size_t padTo = 0) {
  std::vector<std::byte> bytes(12 + name.size() * 2);
  const std::uint32_t length = static_cast<std::uint32_t>(name.size() * 2);
  std::memcpy(bytes.data(), &next, 4);
  std::memcpy(bytes.data() + 4, &action, 4);
  std::memcpy(bytes.data() + 8, &length, 4);
  std::memcpy(bytes.data() + 12, name.data(), length);
  if (padTo > bytes.size()) bytes.resize(padTo);
  return bytes;
}

TEST(NotifyRecordTest, WalksAGoodChainAndStopsAtDamage) {
  std::vector<std::pair<std::uint32_t, std::size_t>> visited;
  const auto visit = [&](std::uint32_t action, std::span<const std::byte> name) {
    visited.emplace_back(action, name.size());
  };
  auto chain = Record(16, 1, u"ab", 16);
  const auto second = Record(0, 5, u"xyz");
  chain.insert(chain.end(), second.begin(), second.end());
  EXPECT_TRUE(ForEachNotifyRecord(chain, visit));
  EXPECT_EQ(visited, (std::vector<std::pair<std::uint32_t, std::size_t>>{{1, 4}, {5, 6}}));

  const std::vector<std::vector<std::byte>> damaged{
      {},  // empty
      Record(0, 1, u"abc", 0).size() > 5 ? std::vector<std::byte>(5) : std::vector<std::byte>(),
      Record(64, 1, u"ab", 16),  // next points past the end
      Record(6, 1, u"ab", 16),   // next not aligned / inside the header
  };
  for (const auto& bytes : damaged) {
    visited.clear();
    EXPECT_FALSE(ForEachNotifyRecord(bytes, visit));
  }
  auto longName = Record(0, 1, u"abcdef");
  longName.resize(14);  // the name runs past the data
  visited.clear();
  EXPECT_FALSE(ForEachNotifyRecord(longName, visit));
  EXPECT_TRUE(visited.empty());
  auto odd = Record(0, 1, u"ab");
  const std::uint32_t oddLength = 3;
  std::memcpy(odd.data() + 8, &oddLength, 4);
  EXPECT_FALSE(ForEachNotifyRecord(odd, visit));
}

}  // namespace
}  // namespace uv::platform
