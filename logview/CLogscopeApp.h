#pragma once
// The journal viewer's application object: runs the main window until it closes.

namespace uv::platform {
class Machine;
}

namespace uv::logview {

class CLogscopeApp {
 public:
  explicit CLogscopeApp(platform::Machine& machine) : machine_(machine) {}
  // Shows the main window and returns the process's exit code when it closes.
  int InitInstance();

 private:
  platform::Machine& machine_;
};

}  // namespace uv::logview
