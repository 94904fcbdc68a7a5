#include "client/app/CNewOrmClientApp.h"

#include <csignal>

#include "client/agent/extensions/AgentExtensions.h"
#include "client/agent/reporter/CReporterContext.h"
#include "client/agent/settings/CClientSettings.h"
#include "client/app/CUVTClientService.h"
#include "client/service/CNTServiceCommandLineInfo.h"
#include "client/service/ServiceMessageBox.h"
#include "platform/machine/Machine.h"
#include "platform/trace/Trace.h"
#include "protocol/VersionText.h"

namespace uv::agent {

bool CNewOrmClientApp::InitInstance(const std::vector<std::string>& args) {
  // Sockets: a peer that has gone must fail a send, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  platform::Machine& machine = platform::Machine::Current();
  auto version = protocol::OwnVersionText();
  if (!version) {
    client::ServiceMessageBox(machine, CUVTClientService::kDisplayName, "Error",
                              "The program's version resource cannot be read.");
    exitCode_ = version.error();
    return false;
  }

  // The journal paths and the replay queue's pending flag, as at every process start.
  CReporterContext context(machine, *version);
  context.SetMessageBox([&machine](std::string_view text, std::string_view caption) {
    client::ServiceMessageBox(machine, CUVTClientService::kDisplayName, caption, text);
  });
  CClientSettings settings(machine);

  client::CNTServiceCommandLineInfo info;
  CUVTClientService service(settings, context);
  // The command listener after the start-up scan, idle detection after it.
  CCommandListenerExtension listener(settings);
  CSaveEnergyExtension saveEnergy(settings, [](CNewOrmClientDlg& dialog, const std::string& text) {
    dialog.SetEventText(text);
    dialog.FormatDetails();
  });
  service.Dialog().SetCommandListener(&listener);
  service.Dialog().SetIdleDetection(&saveEnergy);
  service.ParseArguments(args, info);
  exitCode_ = service.CarryOutCommand(info);
  return false;
}

int CNewOrmClientApp::ExitInstance() {
  platform::Trace(" Client Exit Instatnce ");
  return static_cast<int>(exitCode_);
}

}  // namespace uv::agent
