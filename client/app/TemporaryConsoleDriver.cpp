// TEMPORARY, until the service host framework is in client/service: the program in console mode
// only ("-debug", "-console", "-app", "-application"), so the agent can run end to end before it
// can run as a service. The dialog runs on the main thread; SIGINT, SIGTERM, SIGHUP and SIGQUIT
// end it through the same stop the service uses (the shutdown report is made on the dialog's
// thread). Every other command line is refused. client/app/CMakeLists.txt builds this file only
// while client/service is missing; CNewOrmClientApp.cpp takes its place afterwards.

#include <pthread.h>
#include <signal.h>

#include <csignal>

#include <cstdio>
#include <string_view>
#include <thread>

#include "client/agent/dialog/CNewOrmClientDlg.h"
#include "client/agent/extensions/AgentExtensions.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "client/app/CNewOrmClientApp.h"
#include "platform/machine/Machine.h"
#include "platform/trace/Trace.h"
#include "protocol/VersionText.h"

namespace uv::agent {
namespace {

bool IsConsoleSwitch(std::string_view arg) {
  if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) return false;
  arg.remove_prefix(1);
  for (std::string_view word : {"debug", "console", "app", "application"}) {
    if (arg.size() == word.size()) {
      bool same = true;
      for (std::size_t i = 0; i < word.size(); ++i) {
        same = same && (arg[i] | 0x20) == word[i];
      }
      if (same) return true;
    }
  }
  return false;
}

}  // namespace

bool CNewOrmClientApp::InitInstance(const std::vector<std::string>& args) {
  bool console = false;
  for (std::size_t i = 1; i < args.size(); ++i) console = console || IsConsoleSwitch(args[i]);
  if (!console) {
    std::fprintf(stderr, "USBVantrelClient: this build runs only in the console (-debug)\n");
    exitCode_ = 87;  // ERROR_INVALID_PARAMETER
    return false;
  }
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stopSignals, s);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  platform::Machine& machine = platform::Machine::Current();
  auto version = protocol::OwnVersionText();
  if (!version) {
    std::fprintf(stderr, "Error: The program's version resource cannot be read.\n");
    exitCode_ = version.error();
    return false;
  }
  CReporterContext context(machine, *version);
  context.SetMessageBox([](std::string_view text, std::string_view caption) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  });
  CClientSettings settings(machine);
  CNewOrmClientDlg dialog(settings, context);
  // The command listener after the start-up scan, idle detection after it.
  CCommandListenerExtension listener(settings);
  CSaveEnergyExtension saveEnergy(settings, [](CNewOrmClientDlg& d, const std::string& text) {
    d.SetEventText(text);
    d.FormatDetails();
  });
  dialog.SetCommandListener(&listener);
  dialog.SetIdleDetection(&saveEnergy);

  // The stop: the first stop signal ends the dialog; a wake-up signal of our own ends the
  // waiter when the dialog has ended otherwise.
  std::thread stopper([&] {
    int received = 0;
    sigwait(&stopSignals, &received);
    platform::Trace("\n In Service On Stop");
    dialog.EndFromService();
    platform::Trace("\n Out Service On Stop");
  });
  settings.SetClientStop(false);
  dialog.DoModal();
  settings.SetClientStop(true);
  // Ends the waiter if the dialog ended without a signal (it then has nothing left to stop).
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return false;
}

int CNewOrmClientApp::ExitInstance() {
  platform::Trace(" Client Exit Instatnce ");
  return static_cast<int>(exitCode_);
}

}  // namespace uv::agent
