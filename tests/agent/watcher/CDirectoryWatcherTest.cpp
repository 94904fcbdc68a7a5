#include "client/agent/watcher/CDirectoryWatcher.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <utime.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

#include "platform/trace/Trace.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::kErrorSuccess;
using platform::WinError;

constexpr auto kLimit = 10s;
const std::string kServer = "127.0.0.9";

// Every folder of these tests is a drive the watcher looks at.
class TempDir : public test::TempDir {
 public:
  TempDir() : test::TempDir("uvwatch") {}
};

using test::WriteFile;

// Records every report with the server it was meant for; can be told to fail once.
class RecordingReporter : public IEventReporter {
 public:
  void ReportToServer(const std::string& text, const std::string& server,
                      std::string* body) override {
    std::lock_guard lock(mutex_);
    if (body != nullptr) *body = text;
    reports_.push_back(text);
    servers_.insert(server);
    threads_.insert(std::this_thread::get_id());
    changed_.notify_all();
    if (throwNext_) {
      throwNext_ = false;
      throw std::runtime_error("reporter failed");
    }
  }

  // Waits until a report equal to `text` has arrived; returns every report so far.
  std::vector<std::string> WaitFor(const std::string& text) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kLimit, [&] {
      return std::find(reports_.begin(), reports_.end(), text) != reports_.end();
    });
    return reports_;
  }
  std::vector<std::string> Reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::set<std::string> Servers() {
    std::lock_guard lock(mutex_);
    return servers_;
  }
  std::set<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    reports_.clear();
  }
  void ThrowNext() {
    std::lock_guard lock(mutex_);
    throwNext_ = true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reports_;
  std::set<std::string> servers_;
  std::set<std::thread::id> threads_;
  bool throwNext_ = false;
};

class CountingNotifications : public IDriveNotifications {
 public:
  platform::Result<NotificationHandle> RegisterHandle(
      const platform::DirectoryHandle& directory) override {
    if (failWith != 0) return platform::Result<NotificationHandle>::Failure(failWith);
    EXPECT_TRUE(directory.IsOpen());
    live.insert(next);
    directories[next] = &directory;
    ++registered;
    return next++;
  }
  void Unregister(NotificationHandle handle) override {
    EXPECT_EQ(live.erase(handle), 1u) << "unregistered twice or never registered: " << handle;
    // A drive's handle must be closed before its notification goes: an eject in between would
    // find an open handle and nobody to ask to close it.
    if (auto it = directories.find(handle); it != directories.end() && it->second->IsOpen())
      ++unregisteredWhileOpen;
    ++unregistered;
  }
  WinError failWith = 0;
  NotificationHandle next = 100;
  std::set<NotificationHandle> live;
  std::map<NotificationHandle, const platform::DirectoryHandle*> directories;
  int registered = 0;
  int unregistered = 0;
  int unregisteredWhileOpen = 0;
};

class TraceLog {
 public:
  TraceLog()
      : sink_([this](std::string_view text) {
          std::lock_guard lock(mutex_);
          texts_.emplace_back(text);
        }) {}
  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  bool Contains(const std::string& text) {
    const auto texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> texts_;
  platform::ScopedTraceSink sink_;
};

class WatcherTest : public ::testing::Test {
 protected:
  WatcherTest() { drives_.Set('E', drive_.path()); }

  fs::path E() const { return drive_.path(); }

  TraceLog traces_;  // first, so that it outlives the watcher's last traces
  TempDir drive_;
  platform::DriveMap drives_;
  RecordingReporter reporter_;
  CountingNotifications window_;
  CDirectoryWatcher watcher_{reporter_, drives_};
};

TEST_F(WatcherTest, RenameGivesFromThenToWithFullPathsOnTheWorkerThread) {
  WriteFile(E() / "report.doc", "x");
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  fs::create_directory(E() / "docs");
  // Once the folder is known: a file moved into a folder made a moment before the folder is seen
  // can only be reported as deleted there and added here.
  reporter_.WaitFor("Added E:\\docs");
  fs::rename(E() / "report.doc", E() / "docs" / "final.doc");
  const auto reports = reporter_.WaitFor("Renamed file to E:\\docs\\final.doc");
  const std::vector<std::string> expected{"Added E:\\docs", "Renamed file from E:\\report.doc",
                                          "Renamed file to E:\\docs\\final.doc"};
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(reporter_.Servers(), std::set<std::string>{kServer});
  EXPECT_EQ(reporter_.Threads().count(std::this_thread::get_id()), 0u);
}

TEST_F(WatcherTest, SizeChangeIsModifiedAndATouchIsNothing) {
  WriteFile(E() / "data.bin", "1234");
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  WriteFile(E() / "ready", "");
  reporter_.WaitFor("Added E:\\ready");
  reporter_.Clear();

  ASSERT_EQ(utime((E() / "data.bin").c_str(), nullptr), 0);
  WriteFile(E() / "marker1", "");
  EXPECT_EQ(reporter_.WaitFor("Added E:\\marker1"), std::vector<std::string>{"Added E:\\marker1"});

  std::ofstream(E() / "data.bin", std::ios::app) << "5678";
  WriteFile(E() / "marker2", "");
  EXPECT_EQ(
      reporter_.WaitFor("Added E:\\marker2"),
      (std::vector<std::string>{"Added E:\\marker1", "Modified size or access time E:\\data.bin",
                                "Added E:\\marker2"}));
}

TEST_F(WatcherTest, NewFolderAndAFileCreatedInItAtOnce) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  fs::create_directory(E() / "New folder");
  WriteFile(E() / "New folder" / "note.txt", "hello");
  WriteFile(E() / "end", "");
  const auto reports = reporter_.WaitFor("Added E:\\end");
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "Added E:\\New folder"), 1);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "Added E:\\New folder\\note.txt"), 1);
  fs::remove_all(E() / "New folder");
  const auto after = reporter_.WaitFor("Deleted E:\\New folder");
  EXPECT_NE(std::find(after.begin(), after.end(), "Deleted E:\\New folder\\note.txt"), after.end());
}

TEST_F(WatcherTest, WatchTwiceReturnsZeroAndRegistersNothingNew) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  auto* first = watcher_.FindByDriveLetter('E');
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(watcher_.Watch('E', "127.0.0.77", &window_), kErrorSuccess);
  EXPECT_EQ(window_.registered, 1);
  EXPECT_EQ(watcher_.FindByDriveLetter('E'), first);
  EXPECT_EQ(watcher_.FindByNotificationHandle(first->Notification()), first);
  EXPECT_EQ(first->DriveLetter(), unsigned{'E'});
  EXPECT_EQ(first->RootPath(), "E:\\");
  // One watch, so one report per change, and still for the first server.
  WriteFile(E() / "once", "");
  WriteFile(E() / "end", "");
  EXPECT_EQ(reporter_.WaitFor("Added E:\\end"),
            (std::vector<std::string>{"Added E:\\once", "Added E:\\end"}));
  EXPECT_EQ(reporter_.Servers(), std::set<std::string>{kServer});
}

TEST_F(WatcherTest, StopMonitorOfALetterNeverWatchedIsFalseAndTraced) {
  EXPECT_FALSE(watcher_.StopMonitor('Q', false));
  EXPECT_EQ(traces_.Texts(), (std::vector<std::string>{" \n In Stop monitor ",
                                                       " \n In Stop monitor drive is blocked"}));
}

TEST_F(WatcherTest, StopMonitorKeepingTheNotificationThenAFreshWatch) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  auto* first = watcher_.FindByDriveLetter('E');
  ASSERT_NE(first, nullptr);
  const NotificationHandle kept = first->Notification();

  EXPECT_TRUE(watcher_.StopMonitor('E', true));
  // The handle is closed when StopMonitor returns, so the removal could go ahead now.
  EXPECT_FALSE(first->IsHandleOpen());
  EXPECT_TRUE(first->IsRetired());
  EXPECT_EQ(window_.unregistered, 0);
  EXPECT_EQ(watcher_.FindByNotificationHandle(kept), first);
  WriteFile(E() / "while-stopped", "");

  // The removal failed: the drive is watched again, with a new record and registration.
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  auto* second = watcher_.FindByDriveLetter('E');
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_TRUE(second->IsHandleOpen());
  EXPECT_EQ(window_.registered, 2);
  EXPECT_EQ(window_.live, std::set<NotificationHandle>{second->Notification()});
  EXPECT_EQ(watcher_.FindByNotificationHandle(kept), nullptr);

  WriteFile(E() / "again", "");
  EXPECT_EQ(reporter_.WaitFor("Added E:\\again"), std::vector<std::string>{"Added E:\\again"});
  // The worker traces on its own thread meanwhile; the stop's own traces come in this order.
  const std::vector<std::string> stopTraces{" \n In Stop monitor ", " \n In Stop Watcher ",
                                            " \n Out Stop Watcher ", " \n Out Stop monitor "};
  std::vector<std::string> seen;
  for (const auto& text : traces_.Texts()) {
    if (std::find(stopTraces.begin(), stopTraces.end(), text) != stopTraces.end()) {
      seen.push_back(text);
    }
  }
  EXPECT_EQ(seen, stopTraces);
}

TEST_F(WatcherTest, StopMonitorWithoutKeepUnregistersAndSilencesTheDrive) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  const NotificationHandle handle = watcher_.FindByDriveLetter('E')->Notification();
  EXPECT_TRUE(watcher_.StopMonitor('E', false));
  EXPECT_EQ(window_.unregistered, 1);
  EXPECT_EQ(window_.unregisteredWhileOpen, 0);
  EXPECT_EQ(watcher_.FindByNotificationHandle(handle), nullptr);
  // The record stays findable by letter (a second stop is still "watched").
  EXPECT_NE(watcher_.FindByDriveLetter('E'), nullptr);
  EXPECT_TRUE(watcher_.StopMonitor('E', false));
  EXPECT_EQ(window_.unregistered, 1);

  drives_.Set('F', E());  // the same files seen through a second, watched drive
  ASSERT_EQ(watcher_.Watch('F', kServer, nullptr), kErrorSuccess);
  WriteFile(E() / "x", "");
  EXPECT_EQ(reporter_.WaitFor("Added F:\\x"), std::vector<std::string>{"Added F:\\x"});
}

TEST_F(WatcherTest, WatchFailuresReturnTheErrorAndLeaveNothingBehind) {
  EXPECT_EQ(watcher_.Watch('Z', kServer, &window_), platform::kErrorPathNotFound);
  WriteFile(E() / "file", "");
  drives_.Set('G', E() / "file");
  EXPECT_EQ(watcher_.Watch('G', kServer, &window_), platform::kErrorDirectory);
  EXPECT_EQ(window_.registered, 0);
  EXPECT_EQ(watcher_.FindByDriveLetter('Z'), nullptr);
  EXPECT_EQ(watcher_.FindByDriveLetter('G'), nullptr);
  EXPECT_EQ(watcher_.LastDriveLetter(), unsigned{'G'});

  // A notification that cannot be registered: the drive is not left watched behind our back.
  window_.failWith = platform::kErrorInvalidHandle;
  EXPECT_EQ(watcher_.Watch('E', kServer, &window_), platform::kErrorInvalidHandle);
  EXPECT_EQ(watcher_.FindByDriveLetter('E'), nullptr);
  WriteFile(E() / "unseen", "");
  window_.failWith = 0;
  drives_.Set('F', E());
  ASSERT_EQ(watcher_.Watch('F', kServer, &window_), kErrorSuccess);
  WriteFile(E() / "seen", "");
  EXPECT_EQ(reporter_.WaitFor("Added F:\\seen"), std::vector<std::string>{"Added F:\\seen"});
}

TEST_F(WatcherTest, LongNamesAreCutAt259Characters) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  const std::string folder(200, 'a');
  const std::string file = std::string(100, 'b') + ".txt";
  fs::create_directory(E() / folder);
  WriteFile(E() / folder / file, "");
  const std::string relative = folder + "\\" + file;
  const std::string cut = "Added E:\\" + relative.substr(0, 259);
  const auto reports = reporter_.WaitFor(cut);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], cut);
}

TEST_F(WatcherTest, ReporterFailureDoesNotEndTheWorker) {
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  reporter_.ThrowNext();
  WriteFile(E() / "first", "");
  reporter_.WaitFor("Added E:\\first");
  WriteFile(E() / "second", "");
  EXPECT_EQ(reporter_.WaitFor("Added E:\\second"),
            (std::vector<std::string>{"Added E:\\first", "Added E:\\second"}));
}

TEST_F(WatcherTest, DriveThatDisappearsWhileWatchedIsSurvived) {
  TempDir parent;
  const fs::path volume = parent.path() / "vol";
  fs::create_directory(volume);
  drives_.Set('H', volume);
  ASSERT_EQ(watcher_.Watch('H', kServer, &window_), kErrorSuccess);
  WriteFile(volume / "bye", "");
  reporter_.WaitFor("Added H:\\bye");
  fs::remove_all(volume);
  reporter_.WaitFor("Deleted H:\\bye");
  // The window then hears of the removal and stops the drive; a new volume may take the letter.
  EXPECT_TRUE(watcher_.StopMonitor('H', false));
  fs::create_directory(volume);
  ASSERT_EQ(watcher_.Watch('H', kServer, &window_), kErrorSuccess);
  WriteFile(volume / "hello", "");
  reporter_.WaitFor("Added H:\\hello");
  EXPECT_EQ(reporter_.Reports(),
            (std::vector<std::string>{"Added H:\\bye", "Deleted H:\\bye", "Added H:\\hello"}));
}

TEST_F(WatcherTest, UnwatchAllWithCompletionsStillQueued) {
  TempDir second;
  drives_.Set('F', second.path());
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  ASSERT_EQ(watcher_.Watch('F', kServer, &window_), kErrorSuccess);
  for (int i = 0; i < 300; ++i) {
    WriteFile(E() / ("e" + std::to_string(i)), "");
    WriteFile(second.path() / ("f" + std::to_string(i)), "");
  }
  EXPECT_TRUE(watcher_.StopMonitor('F', true));  // keeps its registration until UnwatchAll
  watcher_.UnwatchAll();
  EXPECT_EQ(window_.registered, 2);
  EXPECT_EQ(window_.unregistered, 2);
  EXPECT_EQ(window_.unregisteredWhileOpen, 0);
  EXPECT_EQ(watcher_.FindByDriveLetter('E'), nullptr);
  const auto traces = traces_.Texts();
  const std::vector<std::string> unwatch{" \n In UnWatch all ",
                                         " \n In UnWatch all while Loop ",
                                         " \n In Stop Watcher ",
                                         " \n Out Stop Watcher ",
                                         " \n In Stop Watcher ",
                                         " \n Out Stop Watcher ",
                                         " \n Out UnWatch all while Loop ",
                                         " \n UnWatch all Post Queue completion status "};
  std::vector<std::string> seen;
  std::copy_if(traces.begin(), traces.end(), std::back_inserter(seen), [&](const auto& text) {
    return std::find(unwatch.begin(), unwatch.end(), text) != unwatch.end();
  });
  ASSERT_GE(seen.size(), unwatch.size());
  EXPECT_EQ(std::vector<std::string>(seen.end() - static_cast<long>(unwatch.size()), seen.end()),
            unwatch);

  // Nothing is reported after UnwatchAll, and the watcher can start over.
  const auto before = reporter_.Reports().size();
  WriteFile(E() / "late", "");
  ASSERT_EQ(watcher_.Watch('E', kServer, &window_), kErrorSuccess);
  WriteFile(E() / "fresh", "");
  const auto reports = reporter_.WaitFor("Added E:\\fresh");
  EXPECT_EQ(reports.back(), "Added E:\\fresh");
  EXPECT_EQ(reports.size(), before + 1);
}

// A reporter whose reports of chosen texts wait until the test lets them go, as one waits for
// an absent console's probe.
class BlockingReporter : public RecordingReporter {
 public:
  void HoldOn(const std::string& text) {
    std::lock_guard lock(mutex_);
    held_.insert(text);
  }
  void ReportToServer(const std::string& text, const std::string& server,
                      std::string* body) override {
    RecordingReporter::ReportToServer(text, server, body);
    std::unique_lock lock(mutex_);
    released_.wait(lock, [&] { return !held_.contains(text); });
  }
  void Release(const std::string& text) {
    std::lock_guard lock(mutex_);
    held_.erase(text);
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> held_;
};

TEST(WatcherStopTest, ChangesAlreadyReadAreReportedWhenTheDriveStops) {
  TempDir drive;
  platform::DriveMap drives;
  drives.Set('E', drive.path());
  BlockingReporter reporter;
  reporter.HoldOn("Added E:\\first");
  reporter.HoldOn("Added E:\\f0");
  CDirectoryWatcher watcher(reporter, drives);
  ASSERT_EQ(watcher.Watch('E', kServer, nullptr), kErrorSuccess);
  // While the worker waits in the first report, ten changes queue up; the next read takes them
  // all, and the worker then waits in the report of the first of them.
  WriteFile(drive.path() / "first", "");
  reporter.WaitFor("Added E:\\first");
  for (int i = 0; i < 10; ++i) WriteFile(drive.path() / ("f" + std::to_string(i)), "");
  reporter.Release("Added E:\\first");
  reporter.WaitFor("Added E:\\f0");
  // The drive goes while nine changes that were read wait behind the slow report: they are
  // still reported, not dropped.
  EXPECT_TRUE(watcher.StopMonitor('E', false));
  reporter.Release("Added E:\\f0");
  watcher.UnwatchAll();
  std::vector<std::string> expected{"Added E:\\first"};
  for (int i = 0; i < 10; ++i) expected.push_back("Added E:\\f" + std::to_string(i));
  EXPECT_EQ(reporter.Reports(), expected);
}

TEST(WatcherLifetimeTest, DestroyedWithDrivesWatchedAndChangesPending) {
  TempDir drive;
  platform::DriveMap drives;
  drives.Set('E', drive.path());
  RecordingReporter reporter;
  TraceLog traces;
  {
    CDirectoryWatcher watcher(reporter, drives);
    ASSERT_EQ(watcher.Watch('E', kServer, nullptr), kErrorSuccess);
    for (int i = 0; i < 200; ++i) WriteFile(drive.path() / std::to_string(i), "");
  }
  EXPECT_TRUE(traces.Contains("Directory watcher Destructor"));
  // A watcher that never watched has no worker to stop.
  TraceLog quiet;
  { CDirectoryWatcher idle(reporter, drives); }
  EXPECT_EQ(quiet.Texts(), std::vector<std::string>{"Directory watcher Destructor"});
}

TEST(FormatChangeTest, TextsOfEachActionAndNamesThatDoNotConvert) {
  const auto wide = [](std::u16string name) {
    std::vector<std::byte> bytes(name.size() * 2);
    std::memcpy(bytes.data(), name.data(), bytes.size());
    return bytes;
  };
  const auto name = wide(u"dir\\f.txt");
  EXPECT_EQ(FormatChange(1, "E:\\", name), "Added E:\\dir\\f.txt");
  EXPECT_EQ(FormatChange(2, "E:\\", name), "Deleted E:\\dir\\f.txt");
  EXPECT_EQ(FormatChange(3, "E:\\", name), "Modified size or access time E:\\dir\\f.txt");
  EXPECT_EQ(FormatChange(4, "E:\\", name), "Renamed file from E:\\dir\\f.txt");
  EXPECT_EQ(FormatChange(5, "E:\\", name), "Renamed file to E:\\dir\\f.txt");
  EXPECT_EQ(FormatChange(0, "E:\\", name), "");
  EXPECT_EQ(FormatChange(6, "E:\\", name), "");
  // é, an emoji as a surrogate pair, a lone surrogate, and a NUL that ends the name.
  EXPECT_EQ(FormatChange(1, "E:\\", wide(u"caf\u00e9\U0001F600")),
            "Added E:\\caf\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(FormatChange(1, "E:\\", wide(std::u16string(u"a") + char16_t{0xD800} + u"b")),
            "Added E:\\a?b");
  EXPECT_EQ(FormatChange(1, "E:\\", wide(std::u16string(u"ab\0cd", 5))), "Added E:\\ab");
  // Long names keep the whole UTF-8 characters that fit in 259 bytes: a character is never split
  // (an emoji is one surrogate pair and four bytes, "日" three bytes, "é" two).
  struct Cut {
    std::u16string name;
    std::string expected;
  };
  const std::string e = "\xC3\xA9", ni = "\xE6\x97\xA5", smile = "\xF0\x9F\x98\x80";
  const auto times = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  const Cut cuts[] = {
      {std::u16string(258, u'x') + u"\U0001F600", std::string(258, 'x')},
      {std::u16string(255, u'x') + u"\U0001F600", std::string(255, 'x') + smile},
      {std::u16string(257, u'x') + u"\u00e9", std::string(257, 'x') + e},
      {std::u16string(258, u'x') + u"\u00e9", std::string(258, 'x')},
      {std::u16string(256, u'x') + u"\u65e5", std::string(256, 'x') + ni},
      {std::u16string(257, u'x') + u"\u65e5x", std::string(257, 'x')},
      // 200 characters are 400 bytes: 129 of them fit.
      {std::u16string(200, u'\u00e9'), times(e, 129)},
      {std::u16string(100, u'\u65e5'), times(ni, 86)},
  };
  for (const Cut& cut : cuts) {
    EXPECT_EQ(FormatChange(1, "E:\\", wide(cut.name)), "Added E:\\" + cut.expected)
        << cut.name.size() << " units";
  }
  // An odd byte count drops the half character.
  auto odd = wide(u"ab");
  odd.push_back(std::byte{0x41});
  EXPECT_EQ(FormatChange(1, "E:\\", odd), "Added E:\\ab");
}

}  // namespace
}  // namespace uv::agent
