// Save-Energy against a fake dialog (timers run on a simulated clock) and a fake setting: the
// reports of a spell, the switches 0 and missing, input, the restart and the minutes changed in
// the middle of a spell.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/agent/saveenergy/CSaveEnergy.h"

namespace uv::agent {
namespace {

using namespace std::chrono_literals;

class FakeDialog : public ISaveEnergyDialog {
 public:
  void ReportEventText(const std::string& text) override { reports.push_back(text); }
  platform::WinError SetTimer(std::uintptr_t id, std::chrono::milliseconds every) override {
    timerId = id;
    period = every;
    next = now + every;
    running = true;
    return platform::kErrorSuccess;
  }
  platform::WinError KillTimer(std::uintptr_t) override {
    running = false;
    return platform::kErrorSuccess;
  }
  void SendIdleMessage(std::uintptr_t state) override { sent.push_back(state); }

  // Lets `span` of simulated time pass, firing the timer as the window would.
  void Pass(std::chrono::milliseconds span, CSaveEnergy& energy) {
    const auto end = now + span;
    while (running && next <= end) {
      now = next;
      next += period;
      energy.OnSaveEnergyTimer(timerId);
    }
    now = end;
  }

  std::vector<std::string> reports;
  std::vector<std::uintptr_t> sent;
  std::uintptr_t timerId = 0;
  std::chrono::milliseconds period{0}, now{0}, next{0};
  bool running = false;
};

class FakeSetting : public IIdleTimeSetting {
 public:
  std::optional<std::uint32_t> ReadIdleTime() override { return value; }
  bool WriteIdleTime(std::uint32_t minutes) override {
    if (!keyExists) return false;
    value = minutes;
    return true;
  }
  std::optional<std::uint32_t> value;
  bool keyExists = true;
};

class FakeDetection : public platform::IIdleDetection {
 public:
  platform::WinError Begin(platform::IdleCallback cb, std::uint32_t minutes) override {
    callback = std::move(cb);
    begun.push_back(minutes);
    return result;
  }
  platform::IdleCallback callback;
  std::vector<std::uint32_t> begun;
  platform::WinError result = platform::kErrorSuccess;
};

std::string Text(unsigned minutes) {
  return "Save-Energy " + std::to_string(minutes) + " minutes inactivity on ";
}

struct Fixture {
  FakeDialog dialog;
  FakeSetting setting;
  FakeDetection detection;
  CSaveEnergy energy{dialog, setting, &detection, 1ms};  // one minute is 1 ms here
};

TEST(SaveEnergy, ReportsOfOneSpellForEachSetting) {
  struct Case {
    std::optional<std::uint32_t> setting;
    std::vector<std::string> reports;  // over three and a half periods of the minutes
  };
  const Case cases[] = {
      {10, {Text(10), Text(20), Text(30)}},
      {std::nullopt, {Text(10), Text(20), Text(30)}},  // missing means 10
      {20, {Text(20), Text(40), Text(60)}},
      {0, {}},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.setting.value = c.setting;
    ASSERT_TRUE(f.energy.Start());
    const std::uint32_t minutes = c.setting.value_or(10);
    EXPECT_EQ(f.detection.begun, std::vector<std::uint32_t>{minutes});
    // The detector reports the spell's begin after `minutes`; the dialog gets the message.
    f.detection.callback(platform::IdleState::kUserIdleBegin);
    ASSERT_EQ(f.dialog.sent, std::vector<std::uintptr_t>{1});
    f.energy.OnIdleMessage(1);
    f.dialog.Pass(std::chrono::milliseconds(minutes * 5 / 2), f.energy);  // to 3.5 periods
    EXPECT_EQ(f.dialog.reports, c.reports) << c.setting.value_or(999);
    if (minutes == 0)
      EXPECT_FALSE(f.dialog.running);  // no timer that fires without pause
    else
      EXPECT_EQ(f.dialog.timerId, 1000u);
  }
}

TEST(SaveEnergy, InputStopsTheReportsAndTheNextSpellStartsAgain) {
  Fixture f;
  f.setting.value = 10;
  ASSERT_TRUE(f.energy.Start());
  f.energy.OnIdleMessage(1);
  f.dialog.Pass(25ms, f.energy);
  f.energy.OnIdleMessage(2);
  EXPECT_FALSE(f.dialog.running);
  EXPECT_EQ(f.energy.Multiplier(), 2u);
  f.dialog.Pass(100ms, f.energy);
  EXPECT_EQ(f.dialog.reports, (std::vector<std::string>{Text(10), Text(20), Text(30)}));
  f.dialog.reports.clear();
  f.energy.OnIdleMessage(1);
  f.dialog.Pass(15ms, f.energy);
  EXPECT_EQ(f.dialog.reports, (std::vector<std::string>{Text(10), Text(20)}));
}

TEST(SaveEnergy, ChangedMinutesTakeEffectWithTheNextSpell) {
  Fixture f;
  f.setting.value = 10;
  ASSERT_TRUE(f.energy.Start());
  // Changed before the spell opens: the opening report keeps 10, then detection restarts with
  // 20 and the totals tell the time that really passed (10, then 30, 50).
  f.setting.value = 20;
  f.energy.OnIdleMessage(1);
  EXPECT_EQ(f.detection.begun, (std::vector<std::uint32_t>{10, 20}));
  f.dialog.Pass(45ms, f.energy);
  EXPECT_EQ(f.dialog.reports, (std::vector<std::string>{Text(10), Text(30), Text(50)}));
  // Changed in the middle of a spell and re-read there (the console's GIT): the spell goes on
  // with its period and totals; the reply of GIT shows the new minutes.
  f.setting.value = 30;
  EXPECT_EQ(f.energy.ReadSystemIdleTime(), 30u);
  f.dialog.reports.clear();
  f.dialog.Pass(20ms, f.energy);
  EXPECT_EQ(f.dialog.reports, std::vector<std::string>{Text(70)});
  // The next spell opens with the new minutes.
  f.energy.OnIdleMessage(2);
  f.dialog.reports.clear();
  f.energy.OnIdleMessage(1);
  f.dialog.Pass(30ms, f.energy);
  EXPECT_EQ(f.dialog.reports, (std::vector<std::string>{Text(30), Text(60)}));
}

TEST(SaveEnergy, WithoutDetectionNoReportsAndWritesOnlyIntoAnExistingKey) {
  FakeDialog dialog;
  FakeSetting setting;
  CSaveEnergy missing(dialog, setting, nullptr, 1ms);
  EXPECT_FALSE(missing.Start());
  FakeDetection failing;
  failing.result = platform::kErrorNotEnoughMemory;
  CSaveEnergy failed(dialog, setting, &failing, 1ms);
  EXPECT_FALSE(failed.Start());
  // A restart that fails starts no timer.
  setting.value = 10;
  FakeDetection detection;
  CSaveEnergy energy(dialog, setting, &detection, 1ms);
  ASSERT_TRUE(energy.Start());
  setting.value = 20;
  detection.result = platform::kErrorNotEnoughMemory;
  energy.OnIdleMessage(1);
  EXPECT_FALSE(dialog.running);
  EXPECT_EQ(dialog.reports, std::vector<std::string>{Text(10)});
  // Other timers and states are ignored.
  energy.OnSaveEnergyTimer(7);
  energy.OnIdleStateChange(3);
  EXPECT_TRUE(dialog.sent.empty());

  EXPECT_TRUE(energy.WriteSystemIdleTime(60));
  EXPECT_EQ(setting.value, 60u);
  setting.keyExists = false;
  EXPECT_FALSE(energy.WriteSystemIdleTime(120));
  EXPECT_EQ(setting.value, 60u);
}

}  // namespace
}  // namespace uv::agent
