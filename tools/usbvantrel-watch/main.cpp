// usbvantrel-watch X: [SERVER]
//
// Watches the file activity of drive X: of this computer (the machine root in USBVANTREL_ROOT)
// and reports every change to the console, exactly as the agent does for a mounted drive: the
// agent's own watcher and reporter, its journal when the console is away, its RunExe setting.
// Each report's message text is also printed, one line each, so an administrator sees what the
// console is told. Runs until interrupted (SIGINT or SIGTERM); while it runs it holds the drive
// open, so a safe removal of the drive is refused.
//
// SERVER is a dotted address or a host name; without it the agent's "ServerIP" setting is used.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>

#include "client/agent/IEventReporter.h"
#include "client/agent/reporter/CEventReporter.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/watcher/CDirectoryWatcher.h"
#include "platform/machine/Machine.h"
#include "platform/net/HostResolver.h"
#include "platform/pnp/VolumeDriveResolver.h"
#include "platform/registry/Registry.h"
#include "protocol/VersionText.h"

namespace {

using namespace uv;

constexpr std::string_view kUsage =
    "usbvantrel-watch X: [SERVER]\n"
    "\n"
    "Watches the files of drive X: of this computer (USBVANTREL_ROOT) and reports every file\n"
    "added, deleted, resized or renamed to the console, as the client agent does for a mounted\n"
    "USB drive. SERVER is the console's address or name; without it the agent's ServerIP setting\n"
    "is used. Stop it with Ctrl+C.\n";

constexpr std::string_view kClientSettingsKey = "Software\\Quorrel\\USB Vantrel Client\\Settings";

// Prints each message text before handing it on to the real reporter.
class PrintingReporter final : public agent::IEventReporter {
 public:
  explicit PrintingReporter(agent::IEventReporter& next) : next_(next) {}
  void ReportToServer(const std::string& text, const std::string& server,
                      std::string* body) override {
    {
      std::lock_guard lock(mutex_);
      std::cout << text << std::endl;
    }
    next_.ReportToServer(text, server, body);
  }

 private:
  agent::IEventReporter& next_;
  std::mutex mutex_;  // keeps printed lines whole
};

// The agent's reading of "ServerIP": a text with a letter is a name to resolve; an empty or
// missing value means the default address.
bool ServerAddress(platform::Machine& machine, std::string text, std::string* address) {
  if (text.empty()) {
    if (auto registry = machine.OpenRegistry()) {
      if (auto key = platform::RegKey::Open(**registry, kClientSettingsKey)) {
        text = key->QueryString("ServerIP").value_or("");
      }
    }
  }
  if (text.empty()) text = "192.168.1.1";
  bool isName = false;
  for (char c : text) isName |= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (!isName) {
    *address = text;
    return true;
  }
  auto resolved = platform::ResolveHost(machine, text);
  if (!resolved) return false;
  *address = resolved->ToString();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || std::string_view(argv[1]) == "--help" ||
      std::string_view(argv[1]) == "/?") {
    std::cout << kUsage;
    return argc == 2 ? 0 : 2;
  }
  const std::string_view drive = argv[1];
  const char letter = drive.empty() ? '\0' : static_cast<char>(drive[0] & ~0x20);
  if (letter < 'A' || letter > 'Z' ||
      (drive.size() != 1 && drive.substr(1) != ":" && drive.substr(1) != ":\\")) {
    std::cerr << "usbvantrel-watch: '" << drive << "' is not a drive letter (e.g. E:)\n";
    return 2;
  }

  platform::Machine& machine = platform::Machine::Current();
  std::string server;
  if (!ServerAddress(machine, argc == 3 ? argv[2] : "", &server)) {
    std::cerr << "usbvantrel-watch: Could not resolve IP\n";
    return 1;
  }
  auto version = protocol::OwnVersionText();
  if (!version) {
    std::cerr << "usbvantrel-watch: the program's version resource cannot be read\n";
    return 1;
  }

  // Block the stop signals before any thread starts, so that only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  agent::CReporterContext context(machine, *version);
  agent::CEventReporter reporter(context);
  PrintingReporter printing(reporter);
  platform::VolumeDriveResolver drives(machine);
  agent::CDirectoryWatcher watcher(printing, drives);

  if (const platform::WinError error =
          watcher.Watch(static_cast<unsigned>(letter), server, nullptr)) {
    std::cerr << "usbvantrel-watch: cannot watch " << letter << ":\\ (error " << error << ")\n";
    return 1;
  }
  std::cerr << "usbvantrel-watch: watching " << letter << ":\\, reporting to " << server
            << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  watcher.UnwatchAll();
  std::cerr << "usbvantrel-watch: stopped" << std::endl;
  return 0;
}
