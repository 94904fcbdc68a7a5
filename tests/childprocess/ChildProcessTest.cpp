#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace uv::test {
namespace {

TEST(RunProgram, GivesTheWholeOutputAndTheExitCode) {
  struct Case {
    const char* script;
    int exitCode;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"exit 0", 0, ""},
      {"printf 'one\\ntwo'; exit 3", 3, "one\ntwo"},
      // More than one read's worth, so the output is gathered across reads.
      {"head -c 10000 /dev/zero | tr '\\0' x", 0, std::string(10000, 'x')},
      // Standard error is not captured.
      {"echo lost >&2; echo kept", 0, "kept\n"},
      {"kill -9 $$", -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const ProgramOutput result = RunProgram("/bin/sh", {"-c", c.script});
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.out, c.out);
  }
}

TEST(RunProgram, AProgramNotFoundDoesNotStart) {
  EXPECT_FALSE(ChildProcess::Start("uv-no-such-program", {}).has_value());
  EXPECT_EQ(RunProgram("uv-no-such-program", {}).exitCode, -1);
}

TEST(ChildProcess, ReadsLineByLineWhileTheProgramRunsAndKillsItWhenAsked) {
  auto child = ChildProcess::Start("/bin/sh", {"-c", "echo PORT 25; echo second; exec sleep 60"});
  ASSERT_TRUE(child.has_value());
  EXPECT_EQ(child->ReadLine(std::chrono::seconds(20)), "PORT 25");
  EXPECT_EQ(child->ReadLine(std::chrono::seconds(20)), "second");
  // Nothing more comes while it sleeps: the wait ends at the timeout without a line.
  EXPECT_EQ(child->ReadLine(std::chrono::milliseconds(50)), std::nullopt);
  child->Kill();
  EXPECT_EQ(child->Wait(), -1);
  // Its output ended with it.
  EXPECT_EQ(child->ReadLine(std::chrono::seconds(20)), std::nullopt);
}

TEST(ChildProcess, AMovedChildIsOwnedOnceAndEndedByItsLastOwner) {
  auto child = ChildProcess::Start("/bin/sh", {"-c", "echo a; exec sleep 60"});
  ASSERT_TRUE(child.has_value());
  ChildProcess owner = std::move(*child);
  child.reset();  // the moved-from shell neither kills nor closes anything
  EXPECT_EQ(owner.ReadLine(std::chrono::seconds(20)), "a");
  auto other = ChildProcess::Start("/bin/sh", {"-c", "echo b"});
  ASSERT_TRUE(other.has_value());
  owner = std::move(*other);  // the sleeping one is killed and reaped here
  EXPECT_EQ(owner.ReadAll(), "b\n");
  EXPECT_EQ(owner.Wait(), 0);
}

}  // namespace
}  // namespace uv::test
