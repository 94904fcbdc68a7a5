#pragma once
// The console's application object: the start-up checks (administrator rights, the
// "-NoWarning" switch), the version text, the alert sound we ship, and the run of the main
// window until "Exit". Thread affinity: the main (UI) thread.

#include <QStringList>
#include <string>

namespace uv::platform {
class Machine;
}

namespace uv::server {

inline constexpr const char* kAdministratorRequired =
    "Administrator privileges are required to run USB Vantrel! Server.";

class CNewOrmServerApp {
 public:
  // arguments: the command line without the program name.
  CNewOrmServerApp(platform::Machine& machine, QStringList arguments);

  // Runs the start-up sequence and the main window; returns the process exit code.
  int InitInstance();

  // "VERSION=" + this program's product version with every "," removed.
  const std::string& VersionText() const { return versionText_; }

  // True when the command line is exactly one argument "-NoWarning" (any letter case).
  static bool IsNoWarning(const QStringList& arguments);

  // Puts the sound we ship into the machine's Media folder when no notify.wav is there yet.
  static bool InstallNotifySound(platform::Machine& machine);

 private:
  platform::Machine& machine_;
  QStringList arguments_;
  std::string versionText_;
};

}  // namespace uv::server
