// usbvantrel-sim idle and input: the session field the idle detection reads, and the errors.

#include <gtest/gtest.h>

#include <sstream>

#include "platform/session/IdleDetector.h"
#include "platform/session/SessionStore.h"
#include "tests/platform/net/TempMachineRoot.h"
#include "tools/usbvantrel-sim/IdleVerbs.h"

namespace uv::sim {
namespace {

int RunVerb(platform::Machine& machine, std::vector<std::string> args, std::string* err = nullptr) {
  std::ostringstream out, errors;
  const SimVerb verbs[] = {kIdleVerb, kInputVerb};
  const int code = RunSim(verbs, machine, args, out, errors);
  if (err != nullptr) *err = errors.str();
  return code;
}

std::optional<std::string> IdleSince(platform::Machine& machine) {
  auto sessions = platform::SessionStore(machine).Enumerate();
  if (!sessions || sessions->empty()) return std::nullopt;
  const auto& attributes = sessions->front().attributes;
  const auto it = attributes.find(std::string(platform::kIdleSinceAttribute));
  if (it == attributes.end()) return std::nullopt;
  return it->second;
}

TEST(IdleVerbs, StopAndResumeInputOfALoggedOnUser) {
  platform::testing::TempMachineRoot root;
  ASSERT_TRUE(platform::SessionStore(root.machine()).Login("alice").ok());
  EXPECT_EQ(RunVerb(root.machine(), {"idle", "ALICE"}), kExitOk);
  const auto since = IdleSince(root.machine());
  ASSERT_TRUE(since.has_value());
  EXPECT_EQ(RunVerb(root.machine(), {"idle", "alice"}), kExitOk);
  EXPECT_EQ(IdleSince(root.machine()), since);  // the spell keeps its start
  EXPECT_EQ(RunVerb(root.machine(), {"input", "alice"}), kExitOk);
  EXPECT_EQ(IdleSince(root.machine()), std::nullopt);

  std::string err;
  EXPECT_EQ(RunVerb(root.machine(), {"idle", "bob"}, &err), kExitFailed);
  EXPECT_NE(err.find("bob is not logged on"), std::string::npos);
  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"idle"}, {"input", "a", "b"}, {"idle", "a;b"}}) {
    EXPECT_EQ(RunVerb(root.machine(), bad), kExitUsage);
  }
}

}  // namespace
}  // namespace uv::sim
