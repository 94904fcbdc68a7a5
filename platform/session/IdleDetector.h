#pragma once
// Idle detection as the agent expects it of the system's idle-detection library: begin
// detection with a callback and a number of minutes; the callback gets kUserIdleBegin once the
// user at the console has given no input for that many minutes, and kUserIdleEnd at the next
// input. The callback runs on the detector's own thread.
//
// The input exists only on the emulated computer: `usbvantrel-sim idle USER` records that USER
// stopped giving input (the session's "idle-since" field, milliseconds since 1970) and
// `usbvantrel-sim input USER` that USER is giving input again (the field goes). A logon is
// input too. Without anybody at the console nobody gives input, so the computer counts as idle
// from the moment the detector saw the console empty.
//
// No polling: the detector's thread sleeps on an inotify watch of the sessions file and wakes
// for its changes, for the one deadline of the spell under way, or to end. Minutes are measured
// with MinuteLength() (IdleTimeScale.h).
//
// Thread affinity: Begin and End from any thread, but not from inside the callback; End (and
// destruction) joins the detector's thread, so it must not be called from a thread the callback
// is waiting for.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/common/Result.h"

namespace uv::platform {

class Machine;

enum class IdleState : std::uint32_t {
  kUserIdleBegin = 1,  // STATE_USER_IDLE_BEGIN
  kUserIdleEnd = 2,    // STATE_USER_IDLE_END
};

using IdleCallback = std::function<void(IdleState)>;

// What the agent's Save-Energy side calls, so that it can be tested with a fake.
class IIdleDetection {
 public:
  virtual ~IIdleDetection() = default;
  // BeginIdleDetection: kErrorSuccess once detection runs. Called again while it runs, the new
  // callback and minutes replace the old ones; a spell already reported as begun stays begun
  // (no second kUserIdleBegin for it, its kUserIdleEnd still comes). 0 minutes: idle begins as
  // soon as input stops.
  [[nodiscard]] virtual WinError Begin(IdleCallback callback, std::uint32_t minutes) = 0;
};

// The session field that holds when input stopped.
inline constexpr std::string_view kIdleSinceAttribute = "idle-since";

// usbvantrel-sim's verbs: USER stops giving input now (a user already idle keeps the start of
// the spell), or gives input again. kErrorFileNotFound when USER has no session.
[[nodiscard]] WinError StopUserInput(Machine& machine, std::string_view user);
[[nodiscard]] WinError ResumeUserInput(Machine& machine, std::string_view user);

class IdleDetector final : public IIdleDetection {
 public:
  explicit IdleDetector(Machine& machine,
                        std::optional<std::chrono::milliseconds> minuteLength = {});
  ~IdleDetector() override;
  IdleDetector(const IdleDetector&) = delete;
  IdleDetector& operator=(const IdleDetector&) = delete;

  [[nodiscard]] WinError Begin(IdleCallback callback, std::uint32_t minutes) override;
  // Ends detection and joins the thread; no callback runs afterwards. Safe to call twice.
  void End();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace uv::platform
