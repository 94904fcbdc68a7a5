// usbvantrel-sc as an administrator runs it: the real tool against a machine root with the test
// service installed, one step after the other, each with its exact output and exit code.

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/service/ServiceTestSupport.h"

namespace {

using namespace uv::servicetest;

constexpr int kBadCommandLine = 1639;

// The process exit status carries the low byte of a Windows code.
constexpr int Exit(int code) {
  return code & 0xFF;
}

std::string Failure(const char* call, int code, const char* text) {
  return std::string("[SC] ") + call + " FAILED " + std::to_string(code) + ":\n\n" + text + "\n\n";
}

std::string Status(const std::string& header, const char* state, const char* controls,
                   const char* checkPoint, const char* waitHint, bool pid = false) {
  std::string text =
      header + "        TYPE               : 10  WIN32_OWN_PROCESS\n" +
      "        STATE              : " + state + "\n" + "                                (" +
      controls + ")\n" + "        WIN32_EXIT_CODE    : 0  (0x0)\n" +
      "        SERVICE_EXIT_CODE  : 0  (0x0)\n" + "        CHECKPOINT         : " + checkPoint +
      "\n" + "        WAIT_HINT          : " + waitHint + "\n";
  if (pid) text += "        PID                : <pid>\n        FLAGS              :\n";
  return text;
}

const std::string kHeader = std::string("\nSERVICE_NAME: ") + kName + "\n";
constexpr const char* kNone = "NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN";
constexpr const char* kAll = "STOPPABLE, PAUSABLE, ACCEPTS_SHUTDOWN";

class ScTool : public ServiceRoot {};

TEST_F(ScTool, VerbsPrintTheLayoutAndTheErrorsOfTheServiceController) {
  ServiceConfig config;
  config.imagePath = "\"" UV_TEST_SERVICE "\" gated";
  config.displayName = kDisplayName;
  config.dependencies = {"Alpha", "Beta"};
  ASSERT_TRUE(manager_->CreateService(kName, config));
  ServiceConfig broken;
  broken.imagePath = "/no/such/program -x";
  ASSERT_TRUE(manager_->CreateService("Broken", broken));

  auto running = [this] {
    Touch("proceed-start");
    ASSERT_TRUE(WaitForState(*manager_->OpenService(kName), ServiceState::kRunning));
  };
  auto stopped = [this] {
    Touch("proceed-stop");
    ASSERT_TRUE(WaitForState(*manager_->OpenService(kName), ServiceState::kStopped));
  };
  auto startTypeOfTheWrongType = [this] {
    ASSERT_EQ(ServiceKey("Broken").SetString("Start", "2"), kErrorSuccess);
  };

  struct Step {
    std::function<void()> before;
    std::vector<std::string> args;
    int exitCode;
    std::string out;          // exact, with the PID's digits as "<pid>"
    std::string errContains;  // empty: nothing on stderr
  };
  const std::string qc = std::string("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: ") + kName +
                         "\n" +
                         "        TYPE               : 10  WIN32_OWN_PROCESS\n"
                         "        START_TYPE         : 3   DEMAND_START\n"
                         "        ERROR_CONTROL      : 1   NORMAL\n"
                         "        BINARY_PATH_NAME   : \"" UV_TEST_SERVICE
                         "\" gated\n"
                         "        LOAD_ORDER_GROUP   : \n"
                         "        TAG                : 0\n"
                         "        DISPLAY_NAME       : UV Test Service\n"
                         "        DEPENDENCIES       : Alpha\n"
                         "                           : Beta\n"
                         "        SERVICE_START_NAME : LocalSystem\n";
  const char* notStarted = "The service has not been started.";
  const std::vector<Step> steps = {
      {{}, {"--help"}, 0, "<usage>", ""},
      {{}, {}, Exit(kBadCommandLine), "", "USAGE:"},
      {{}, {"frob", kName}, Exit(kBadCommandLine), "", "unknown command \"frob\""},
      {{}, {"query", kName, "extra"}, Exit(kBadCommandLine), "", "USAGE:"},
      {{}, {"control", kName}, Exit(kBadCommandLine), "", "USAGE:"},
      {{},
       {"query", "NoSuch"},
       Exit(1060),
       Failure("OpenService", 1060,
               "The specified service does not exist as an installed service."),
       ""},
      {{}, {"query", kName}, 0, Status(kHeader, "1  STOPPED", kNone, "0x0", "0x0"), ""},
      {{}, {"qc", kName}, 0, qc, ""},
      {{}, {"stop", kName}, Exit(1062), Failure("ControlService", 1062, notStarted), ""},
      {{},
       {"control", kName, "pause"},
       Exit(1062),
       Failure("ControlService", 1062, notStarted),
       ""},
      // The gated service stays start pending: the status is the one the dispatcher reports
      // when it connects.
      {{},
       {"start", kName},
       0,
       Status(kHeader, "2  START_PENDING", kNone, "0x0", "0x7d0", true),
       ""},
      {{},
       {"start", kName},
       Exit(1056),
       Failure("StartService", 1056, "An instance of the service is already running."),
       ""},
      {{},
       {"stop", kName},
       Exit(1061),
       Failure("ControlService", 1061, "The service cannot accept control messages at this time."),
       ""},
      {running, {"query", kName}, 0, Status(kHeader, "4  RUNNING", kAll, "0x0", "0x0"), ""},
      {{}, {"control", kName, "pause"}, 0, Status(kHeader, "7  PAUSED", kAll, "0x0", "0x0"), ""},
      {{},
       {"control", kName, "continue"},
       0,
       Status(kHeader, "4  RUNNING", kAll, "0x0", "0x0"),
       ""},
      {{},
       {"control", kName, "interrogate"},
       0,
       Status(kHeader, "4  RUNNING", kAll, "0x0", "0x0"),
       ""},
      {{}, {"control", kName, "200"}, 0, Status(kHeader, "4  RUNNING", kAll, "0x0", "0x0"), ""},
      {{},
       {"control", kName, "paramchange"},
       Exit(1052),
       Failure("ControlService", 1052, "The requested control is not valid for this service."),
       ""},
      {{}, {"control", kName, "50"}, Exit(kBadCommandLine), "", "a number from 128 to 255"},
      {{}, {"control", kName, "256"}, Exit(kBadCommandLine), "", "a number from 128 to 255"},
      // The gated service stays stop pending until the next step lets it go.
      {{}, {"stop", kName}, 0, Status(kHeader, "3  STOP_PENDING", kNone, "0x1", "0xfa0"), ""},
      {stopped,
       {"query"},
       0,
       Status(kHeader + "DISPLAY_NAME: UV Test Service\n", "1  STOPPED", kNone, "0x0", "0x0") +
           Status("\nSERVICE_NAME: Broken\nDISPLAY_NAME: Broken\n", "1  STOPPED", kNone, "0x0",
                  "0x0"),
       ""},
      {{},
       {"start", "Broken"},
       Exit(2),
       Failure("StartService", 2, "The system cannot find the file specified."),
       ""},
      {startTypeOfTheWrongType,
       {"qc", "Broken"},
       Exit(13),
       Failure("QueryServiceConfig", 13, "The data is invalid."),
       ""},
  };
  const std::regex pid("(PID                : )[0-9]+");
  for (const auto& step : steps) {
    std::string line;
    for (const auto& a : step.args) line += a + " ";
    SCOPED_TRACE(line);
    if (step.before) step.before();
    const auto result = Run(UV_SC_TOOL, step.args);
    EXPECT_EQ(result.exitCode, step.exitCode);
    if (step.out == "<usage>") {
      EXPECT_TRUE(result.out.starts_with("DESCRIPTION:\n")) << result.out;
      for (const char* verb : {"query-", "start-", "stop-", "control-", "qc-"}) {
        EXPECT_NE(result.out.find(verb), std::string::npos) << verb;
      }
    } else {
      EXPECT_EQ(std::regex_replace(result.out, pid, "$1<pid>"), step.out);
    }
    if (step.errContains.empty()) {
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_NE(result.err.find(step.errContains), std::string::npos) << result.err;
    }
  }
}

}  // namespace
