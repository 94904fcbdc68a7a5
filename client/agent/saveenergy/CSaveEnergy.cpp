#include "client/agent/saveenergy/CSaveEnergy.h"

#include "platform/session/IdleTimeScale.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

CSaveEnergy::CSaveEnergy(ISaveEnergyDialog& dialog, IIdleTimeSetting& setting,
                         platform::IIdleDetection* detection,
                         std::chrono::milliseconds minuteLength)
    : dialog_(dialog), setting_(setting), detection_(detection), minuteLength_(minuteLength) {}

std::uint32_t CSaveEnergy::ReadSystemIdleTime() {
  const std::uint32_t minutes = setting_.ReadIdleTime().value_or(kDefaultMinutes);
  idleMinutes_.store(minutes);
  return minutes;
}

bool CSaveEnergy::WriteSystemIdleTime(std::uint32_t minutes) {
  return setting_.WriteIdleTime(minutes);
}

bool CSaveEnergy::BeginDetection() {
  if (detection_ == nullptr) {
    platform::Trace("BeginIdleDetection not found");
    return false;
  }
  const platform::WinError result = detection_->Begin(
      [this](platform::IdleState state) { OnIdleStateChange(static_cast<std::uint32_t>(state)); },
      idleMinutes_.load());
  if (result != platform::kErrorSuccess) {
    platform::Trace("BeginIdleDetection failed");
    return false;
  }
  return true;
}

bool CSaveEnergy::Start() {
  ReadSystemIdleTime();
  multiplier_ = 2;
  return BeginDetection();
}

void CSaveEnergy::OnIdleStateChange(std::uint32_t state) {
  if (state == static_cast<std::uint32_t>(platform::IdleState::kUserIdleBegin)) {
    platform::Trace("STATE_USER_IDLE_BEGIN");
  } else if (state == static_cast<std::uint32_t>(platform::IdleState::kUserIdleEnd)) {
    platform::Trace("STATE_USER_IDLE_END");
  } else {
    return;
  }
  dialog_.SendIdleMessage(state);
}

void CSaveEnergy::Report(std::uint64_t minutes) {
  dialog_.ReportEventText("Save-Energy " + std::to_string(minutes) + " minutes inactivity on ");
}

void CSaveEnergy::OnIdleMessage(std::uintptr_t state) {
  if (state == 1) {
    const std::uint32_t opening = idleMinutes_.load();
    if (opening != 0) Report(opening);
    spellOpening_ = opening;
    if (const std::uint32_t now = ReadSystemIdleTime(); now != opening && now != 0) {
      multiplier_ = 2;
      if (!BeginDetection()) return;  // no timer, as when detection cannot start at all
    }
    spellPeriod_ = idleMinutes_.load();
    // A period of 0 minutes would make the timer fire without pause; with 0 there are no
    // reports to time anyway.
    if (spellPeriod_ == 0) return;
    if (dialog_.SetTimer(kTimerId, platform::MinutesToDuration(spellPeriod_, minuteLength_)) ==
        platform::kErrorSuccess) {
      timerRunning_ = true;
    }
  } else if (state == 2) {
    multiplier_ = 2;
    if (timerRunning_) (void)dialog_.KillTimer(kTimerId);
    timerRunning_ = false;
  }
}

void CSaveEnergy::OnSaveEnergyTimer(std::uintptr_t id) {
  if (id != kTimerId || !timerRunning_) return;
  if (spellPeriod_ == 0) return;
  Report(spellOpening_ + std::uint64_t{multiplier_ - 1} * spellPeriod_);
  ++multiplier_;
}

}  // namespace uv::agent
