#pragma once
// The agent's Save-Energy reports: once the user at the console has given no input for the
// configured minutes ("SystemIdleTime", 10 when missing, 0: no reports) the agent reports
// "Save-Energy %u minutes inactivity on " + computer\user, then again after every further period
// with the growing total (10, 20, 30, ... for 10 minutes), until input comes.
//
// The dialog owns one CSaveEnergy and routes to it its private idle message (kIdleMessage, first
// parameter 1: idle began, 2: input again) and its timer 1000. The idle callback runs on the
// detector's thread and only sends that message, so all report and timer work happens on the
// dialog's thread.
//
// Changed minutes (by the console's SIT, seen by ReadSystemIdleTime) take effect when the next
// spell starts: the report that opens a spell uses the minutes read before it, then the value is
// read again and, if it changed, detection restarts with it and the spell's timer runs on the new
// period. From then on a spell is left alone: a re-read in the middle of a spell (the console's
// GIT) changes neither its timer nor its reports. Every report tells the inactivity that really
// passed: the opening minutes plus one period per timer tick (with unchanged minutes exactly
// minutes × multiplier, the multiplier counting from 2).
//
// Minutes are scaled by MinuteLength() (USBVANTREL_MINUTE_MS) for tests and the demo.
//
// Thread affinity: everything on the dialog's thread, except OnIdleStateChange (the detector's
// thread) and IdleMinutes/ReadSystemIdleTime/WriteSystemIdleTime, which any thread may call.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/common/Result.h"
#include "platform/session/IdleDetector.h"

namespace uv::agent {

// The "SystemIdleTime" value of the client settings.
class IIdleTimeSetting {
 public:
  virtual ~IIdleTimeSetting() = default;
  // None when the settings key or the value is missing or unreadable.
  virtual std::optional<std::uint32_t> ReadIdleTime() = 0;
  // Writes into the existing settings key only; false (nothing written) when it does not exist.
  virtual bool WriteIdleTime(std::uint32_t minutes) = 0;
};

// What Save-Energy needs of the dialog.
class ISaveEnergyDialog {
 public:
  virtual ~ISaveEnergyDialog() = default;
  // EventText = text; FormatDetails (completes it with computer and user and reports it).
  virtual void ReportEventText(const std::string& text) = 0;
  virtual platform::WinError SetTimer(std::uintptr_t id, std::chrono::milliseconds period) = 0;
  virtual platform::WinError KillTimer(std::uintptr_t id) = 0;
  // Synchronous send of kIdleMessage with the state to the dialog's window.
  virtual void SendIdleMessage(std::uintptr_t state) = 0;
};

class CSaveEnergy {
 public:
  static constexpr std::uint32_t kIdleMessage = 0x0400 + 100;  // WM_USER + 100
  static constexpr std::uintptr_t kTimerId = 1000;
  static constexpr std::uint32_t kDefaultMinutes = 10;

  // detection may be null: the agent then has no idle detection ("not found").
  CSaveEnergy(ISaveEnergyDialog& dialog, IIdleTimeSetting& setting,
              platform::IIdleDetection* detection,
              std::chrono::milliseconds minuteLength = std::chrono::minutes(1));

  // Reads the minutes, multiplier 2, begins detection. False when detection is missing or fails
  // to begin (traced): no reports are made then.
  bool Start();

  // The idle callback: traces the state and sends the idle message; other states are ignored.
  void OnIdleStateChange(std::uint32_t state);
  // The dialog's handler of kIdleMessage.
  void OnIdleMessage(std::uintptr_t state);
  // The dialog's timer handler; identifiers other than 1000 are ignored.
  void OnSaveEnergyTimer(std::uintptr_t id);

  // "SystemIdleTime" into the idle minutes; 10 when it cannot be read. Returns the minutes.
  std::uint32_t ReadSystemIdleTime();
  // Writes "SystemIdleTime" into the existing settings key.
  bool WriteSystemIdleTime(std::uint32_t minutes);

  std::uint32_t IdleMinutes() const { return idleMinutes_.load(); }
  std::uint32_t Multiplier() const { return multiplier_; }
  bool TimerRunning() const { return timerRunning_; }

 private:
  bool BeginDetection();
  void Report(std::uint64_t minutes);

  ISaveEnergyDialog& dialog_;
  IIdleTimeSetting& setting_;
  platform::IIdleDetection* detection_;
  const std::chrono::milliseconds minuteLength_;

  std::atomic<std::uint32_t> idleMinutes_{kDefaultMinutes};
  // The spell under way; dialog thread only.
  std::uint32_t multiplier_ = 2;
  std::uint64_t spellOpening_ = 0;  // minutes reported when the spell opened (0: none)
  std::uint32_t spellPeriod_ = 0;   // minutes per timer tick
  bool timerRunning_ = false;
};

}  // namespace uv::agent
