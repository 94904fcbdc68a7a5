#pragma once
// What the console does with one event report once the listener has handed it over: record the
// sender, balloon, sound, History row, log line and mail, each through its own switch and filter
// bits, in that order, completely before the next report.
//
// The outlets are interfaces so that the window plugs in its list, tray and sound device, and
// tests plug in recorders. Thread affinity: UI thread (the window's handler); not thread-safe.

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "gui/list/EventRow.h"
#include "server/app/EventLogFile.h"
#include "server/app/EventRules.h"
#include "server/common/Balloons.h"
#include "server/dialogs/settings/ServerSettings.h"
#include "server/mail/MailQueue.h"

namespace uv::server {

// The History list as the handler sees it: rows go in at the top.
class IHistorySink {
 public:
  virtual ~IHistorySink() = default;
  virtual void InsertRowAtTop(EventRow row) = 0;
};

class ISoundPlayer {
 public:
  virtual ~ISoundPlayer() = default;
  // Starts playing the file and returns at once; plays nothing when the device is busy.
  virtual void PlayAsync(const std::string& file) = 0;
};

struct ClockTime {
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class CEventProcessor {
 public:
  using Clock = std::function<ClockTime()>;
  using LogWriter = std::function<void(const std::string& path, std::string_view line)>;

  // All outlets are borrowed and must outlive the processor. `clock` defaults to local time,
  // `logWriter` to the processor's own EventLogFile (kept open between lines).
  CEventProcessor(std::string ownVersion, IHistorySink& history, IBalloonNotifier& balloons,
                  ISoundPlayer& sound, CMailQueue& mail, Clock clock = {},
                  LogWriter logWriter = {});
  CEventProcessor(const CEventProcessor&) = delete;
  CEventProcessor& operator=(const CEventProcessor&) = delete;

  // Handles one report text from `senderAddress` ("%d.%d.%d.%d").
  void Handle(std::string_view reportText, const std::string& senderAddress,
              const ServerSettings& settings);

  // The dotted addresses of every client that sent a report, in order of first arrival.
  const std::vector<std::string>& KnownClients() const { return knownClients_; }

 private:
  void RememberClient(const std::string& address);

  std::string ownVersion_;
  IHistorySink& history_;
  IBalloonNotifier& balloons_;
  ISoundPlayer& sound_;
  CMailQueue& mail_;
  Clock clock_;
  LogWriter logWriter_;  // empty: logFile_
  EventLogFile logFile_;
  std::vector<std::string> knownClients_;
  std::unordered_set<std::string> knownSet_;  // the same addresses, for a constant-time check
};

// The current local time of day.
ClockTime LocalClockTime();

}  // namespace uv::server
