#pragma once
// What the console does with the event reports the listener hands over: record the sender,
// balloon, sound, History row, log line and mail, each through its own switch and filter bits.
//
// A batch (everything that arrived together) goes in two passes: first every report's log line,
// all of them in one write to the file, then every report's balloon, sound, row and mail in order
// of arrival. A line is thus in the file before anything else shows its event, and a crash loses
// at most the lines of the batch in hand; a flood costs one file check and one write per batch
// instead of per report. A batch of one behaves exactly as handling the report alone.
//
// The outlets are interfaces so that the window plugs in its list, tray and sound device, and
// tests plug in recorders. Thread affinity: UI thread (the window's handler); not thread-safe.

#include <QString>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "gui/list/EventRow.h"
#include "server/app/EventListener.h"
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
  // The same from views that last only for the call; a list that copies them into a record of
  // its own overrides this to skip the EventRow in between.
  virtual void InsertRowTextsAtTop(const HistoryRowTexts& texts) { InsertRowAtTop(texts.ToRow()); }
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
  // Handles the reports in order of arrival, the log lines of all first (see above).
  void HandleBatch(std::span<const EventListener::Report> reports, const ServerSettings& settings);

  // On: the mails of a batch are queued with the worker's wake-up deferred, for the thread that
  // handed the batch over to pay (CMailQueue::WakeIfPending after HandleBatch returns), so that
  // the UI thread does not wait for the kernel to wake another thread. Off (the default): every
  // mail wakes the worker as it is queued. A report handled alone always wakes at once.
  void SetDeferredMailWake(bool deferred) { deferredMailWake_ = deferred; }

  // The dotted addresses of every client that sent a report, in order of first arrival.
  const std::vector<std::string>& KnownClients() const { return knownClients_; }

 private:
  // One report of the batch in hand between its log line and its other outlets: where its
  // texts lie in texts_ (the sender's dotted address, then the full text, whose head is the alert
  // text).
  struct Pending {
    std::size_t begin = 0;
    std::uint32_t senderLength = 0;
    std::uint32_t alertLength = 0;
    std::uint32_t fullLength = 0;
    int versionFlag = 0;
  };

  void RememberClient(std::string_view address);
  // First pass: the texts of one report and its log line.
  void Prepare(std::string_view reportText, std::string_view senderAddress,
               const ServerSettings& settings);
  // Writes the lines the first pass gathered (or lets go of the file when logging is off).
  void WriteLines(const ServerSettings& settings);
  // Second pass: balloon, sound, row and mail of one prepared report.
  void Finish(const Pending& pending, const ServerSettings& settings, CMailQueue::Wake wake);
  void Begin();

  std::string ownVersion_;
  IHistorySink& history_;
  IBalloonNotifier& balloons_;
  ISoundPlayer& sound_;
  CMailQueue& mail_;
  Clock clock_;
  LogWriter logWriter_;  // empty: logFile_
  bool deferredMailWake_ = false;
  EventLogFile logFile_;
  std::vector<std::string> knownClients_;
  std::unordered_set<std::string> knownSet_;  // the same addresses, for a constant-time check
  std::string lastClient_;                    // the sender before, known without a look-up

  // Reused from batch to batch, so that a report costs no allocation of its own here.
  std::vector<Pending> pending_;
  std::string texts_;
  std::string lines_;    // the batch's log lines, written at once
  std::string line_;     // one line, for a log writer that takes lines one by one
  std::string scratch_;  // a mismatch's balloon text
  const QString balloonTitle_;
};

// The current local time of day.
ClockTime LocalClockTime();

}  // namespace uv::server
