#include "server/app/EventProcessor.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "gui/common/MachineText.h"
#include "platform/trace/Trace.h"
#include "protocol/EventReport.h"

namespace uv::server {

namespace {

// " at HH:MM:SS" appended without a formatted-print call per report.
void AppendAt(std::string& out, const ClockTime& now) {
  const auto twoDigits = [](int v) { return v >= 0 && v <= 99; };
  if (!twoDigits(now.hour) || !twoDigits(now.minute) || !twoDigits(now.second)) {
    char suffix[48];
    const int n = std::snprintf(suffix, sizeof suffix, " at %02d:%02d:%02d", now.hour, now.minute,
                                now.second);
    out.append(suffix, static_cast<std::size_t>(std::max(0, n)));
    return;
  }
  char suffix[] = " at 00:00:00";
  const int parts[] = {now.hour, now.minute, now.second};
  for (int i = 0; i < 3; ++i) {
    suffix[4 + 3 * i] = static_cast<char>('0' + parts[i] / 10);
    suffix[5 + 3 * i] = static_cast<char>('0' + parts[i] % 10);
  }
  out.append(suffix, sizeof suffix - 1);
}

}  // namespace

ClockTime LocalClockTime() {
  // A flood asks many times a second: the broken-down time changes only with the second.
  thread_local std::time_t cachedSecond = -1;
  thread_local ClockTime cached;
  const std::time_t now = std::time(nullptr);
  if (now != cachedSecond) {
    std::tm local{};
    ::localtime_r(&now, &local);
    cached = {local.tm_hour, local.tm_min, local.tm_sec};
    cachedSecond = now;
  }
  return cached;
}

CEventProcessor::CEventProcessor(std::string ownVersion, IHistorySink& history,
                                 IBalloonNotifier& balloons, ISoundPlayer& sound, CMailQueue& mail,
                                 Clock clock, LogWriter logWriter)
    : ownVersion_(std::move(ownVersion)),
      history_(history),
      balloons_(balloons),
      sound_(sound),
      mail_(mail),
      clock_(clock ? std::move(clock) : Clock(LocalClockTime)),
      logWriter_(std::move(logWriter)),
      balloonTitle_(QString::fromLatin1(kBalloonTitle)) {}

void CEventProcessor::RememberClient(std::string_view address) {
  if (address == lastClient_) return;
  lastClient_.assign(address);
  if (knownSet_.insert(lastClient_).second) knownClients_.push_back(lastClient_);
}

void CEventProcessor::Begin() {
  pending_.clear();
  texts_.clear();
  lines_.clear();
}

void CEventProcessor::Handle(std::string_view reportText, const std::string& senderAddress,
                             const ServerSettings& settings) {
  Begin();
  Prepare(reportText, senderAddress, settings);
  WriteLines(settings);
  Finish(pending_.front(), settings, CMailQueue::Wake::kNow);
}

void CEventProcessor::HandleBatch(std::span<const EventListener::Report> reports,
                                  const ServerSettings& settings) {
  if (reports.empty()) return;
  Begin();
  char dotted[16];
  for (const EventListener::Report& report : reports) {
    Prepare(report.text, report.from.address.ToChars(dotted), settings);
  }
  WriteLines(settings);
  const auto wake = deferredMailWake_ ? CMailQueue::Wake::kDeferred : CMailQueue::Wake::kNow;
  for (const Pending& pending : pending_) Finish(pending, settings, wake);
}

void CEventProcessor::Prepare(std::string_view reportText, std::string_view senderAddress,
                              const ServerSettings& settings) {
  if (platform::TraceEnabled()) {
    platform::Trace(std::string("IN POST ").append(reportText).append(" "));
  }
  const protocol::VersionSplit split = protocol::SplitVersion(reportText, ownVersion_);
  Pending pending;
  pending.versionFlag = split.mismatch ? 1 : 0;
  RememberClient(senderAddress);

  // The sender, then the alert text "%s [ %s ]", then the arrival time after it: the full text.
  pending.begin = texts_.size();
  texts_.append(senderAddress);
  texts_.append(split.text).append(" [ ").append(senderAddress).append(" ]");
  const std::size_t alertEnd = texts_.size();
  AppendAt(texts_, clock_());
  pending.senderLength = static_cast<std::uint32_t>(senderAddress.size());
  pending.alertLength = static_cast<std::uint32_t>(alertEnd - pending.begin - senderAddress.size());
  pending.fullLength =
      static_cast<std::uint32_t>(texts_.size() - pending.begin - senderAddress.size());
  pending_.push_back(pending);

  if (!settings.enableLog) return;
  const std::string_view full =
      std::string_view(texts_).substr(pending.begin + pending.senderLength, pending.fullLength);
  const FilterWords words{settings.msgFilterFlags, settings.msgFilterFlagsExtra};
  if (logWriter_) {
    line_.clear();
    if (AppendLogEntry(line_, full, pending.versionFlag, senderAddress, words)) {
      logWriter_(settings.logFilePath, line_);
    }
  } else {
    (void)AppendLogEntry(lines_, full, pending.versionFlag, senderAddress, words);
  }
}

void CEventProcessor::WriteLines(const ServerSettings& settings) {
  if (!settings.enableLog) {
    if (logFile_.IsOpen()) logFile_.Close();  // logging switched off: the file is the admin's
    return;
  }
  // An unwritable log loses the lines without a word.
  if (!lines_.empty()) (void)logFile_.Append(settings.logFilePath, lines_);
}

void CEventProcessor::Finish(const Pending& pending, const ServerSettings& settings,
                             CMailQueue::Wake wake) {
  const std::string_view texts(texts_);
  const std::string_view sender = texts.substr(pending.begin, pending.senderLength);
  const std::string_view full =
      texts.substr(pending.begin + pending.senderLength, pending.fullLength);
  const std::string_view alert = full.substr(0, pending.alertLength);
  const int versionFlag = pending.versionFlag;
  const FilterWords words{settings.msgFilterFlags, settings.msgFilterFlagsExtra};

  if (!settings.disableBalloon) {
    if (auto balloon = BalloonTextView(alert, versionFlag, sender, words, scratch_)) {
      balloons_.ShowBalloon(balloonTitle_, gui::FromMachineText(*balloon));
    }
  }
  if (settings.playSound && ShouldPlaySound(alert)) sound_.PlayAsync(settings.wavFile);

  if (platform::TraceEnabled()) {
    const std::string fullText(full);
    platform::TraceF("Before OnRefreshList Version = %d Msg= %s ", versionFlag, fullText.c_str());
    platform::TraceF("In OnRefreshList Version = %d Msg= %s ", versionFlag, fullText.c_str());
  }
  if (auto row = HistoryRowTextsOf(full, versionFlag, sender, words)) {
    history_.InsertRowTextsAtTop(*row);
  }

  if (settings.sendMail && ShouldMail(full, versionFlag, words)) {
    // The worker builds the body: the UI thread only hands the event over.
    mail_.QueueEvent(settings, std::string(full), versionFlag, sender, &BuildMailBody, wake);
  }
}

}  // namespace uv::server
