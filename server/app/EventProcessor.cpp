#include "server/app/EventProcessor.h"

#include <QString>
#include <ctime>

#include "gui/common/MachineText.h"
#include "platform/trace/Trace.h"

namespace uv::server {

ClockTime LocalClockTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
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
      logWriter_(std::move(logWriter)) {}

void CEventProcessor::RememberClient(const std::string& address) {
  if (knownSet_.insert(address).second) knownClients_.push_back(address);
}

void CEventProcessor::Handle(std::string_view reportText, const std::string& senderAddress,
                             const ServerSettings& settings) {
  const bool tracing = platform::TraceEnabled();
  std::string text(reportText);
  if (tracing) platform::Trace(std::string("IN POST ").append(text).append(" "));
  const int versionFlag = SplitVersion(text, ownVersion_);
  const FilterWords words{settings.msgFilterFlags, settings.msgFilterFlagsExtra};

  RememberClient(senderAddress);

  const std::string alert = AlertText(text, senderAddress);
  if (!settings.disableBalloon) {
    if (auto balloon = BalloonText(alert, versionFlag, senderAddress, words)) {
      balloons_.ShowBalloon(QString::fromLatin1(kBalloonTitle), gui::FromMachineText(*balloon));
    }
  }
  if (settings.playSound && ShouldPlaySound(alert)) sound_.PlayAsync(settings.wavFile);

  const ClockTime now = clock_();
  const std::string full = AppendArrivalTime(alert, now.hour, now.minute, now.second);

  if (tracing) {
    platform::TraceF("Before OnRefreshList Version = %d Msg= %s ", versionFlag, full.c_str());
    platform::TraceF("In OnRefreshList Version = %d Msg= %s ", versionFlag, full.c_str());
  }
  if (auto row = BuildHistoryRow(full, versionFlag, senderAddress, words)) {
    history_.InsertRowAtTop(std::move(*row));
  }

  if (settings.enableLog) {
    if (auto line = BuildLogLine(full, versionFlag, senderAddress, words)) {
      if (logWriter_) {
        logWriter_(settings.logFilePath, *line);
      } else {
        // An unwritable log loses the line without a word.
        (void)logFile_.Append(settings.logFilePath, *line);
      }
    }
  } else if (logFile_.IsOpen()) {
    logFile_.Close();  // logging switched off: the file is the administrator's again
  }

  if (settings.sendMail && ShouldMail(full, versionFlag, words)) {
    // The worker builds the body: the UI thread only hands the event over.
    mail_.QueueEvent(settings, full, versionFlag, senderAddress, &BuildMailBody);
  }
}

}  // namespace uv::server
