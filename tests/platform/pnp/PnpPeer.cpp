// A second process for the notification tests: a message window with a DeviceNotifier on the
// machine root given as argument 1. It registers for the USB device interface class and, with
// arguments 2 and 3 "MODE LETTER", also holds drive LETTER and registers that handle; "deny" makes
// it refuse query-removes, "release" makes it close the hold on a query-remove (as the watcher
// does), any other word keeps the hold open.
// It prints "ready" once registered, then one line per WM_DEVICECHANGE:
//   <event hex> iface <name> | volume <unitmask hex> | handle <notify>
// and ends when its standard input closes.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/window/MessageWindow.h"

using namespace uv::platform;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Machine machine(argv[1]);
  const std::string mode = argc >= 3 ? argv[2] : "";
  HandleHold hold;
  std::unique_ptr<DeviceNotifier> notifier;
  MessageWindow* self = nullptr;
  MessageWindow window([&](const WindowMessage& m) -> std::intptr_t {
    if (m.message == kWmClose) {
      self->Quit(0);
      return 0;
    }
    if (m.message != kWmDeviceChange) return 0;
    auto r = DecodeDeviceBroadcast(m.payload);
    if (!r) {
      std::printf("%lx undecodable\n", static_cast<unsigned long>(m.wParam));
    } else if (r->devicetype == kDbtDevtypDeviceInterface) {
      std::printf("%lx iface %s\n", static_cast<unsigned long>(m.wParam),
                  r->deviceInterface.name.c_str());
    } else if (r->devicetype == kDbtDevtypVolume) {
      std::printf("%lx volume %x\n", static_cast<unsigned long>(m.wParam), r->volume.unitmask);
    } else {
      std::printf("%lx handle %llu\n", static_cast<unsigned long>(m.wParam),
                  static_cast<unsigned long long>(r->handle.hdevnotify));
    }
    std::fflush(stdout);
    if (m.wParam == kDbtDeviceQueryRemove) {
      if (mode == "deny") return kBroadcastQueryDeny;
      if (mode == "release") hold.Close();
    }
    return 1;
  });
  self = &window;
  auto created = DeviceNotifier::Create(machine, window.GetHandle());
  if (!created) return 1;
  notifier = std::move(created).value();
  if (!notifier->RegisterInterfaceClass(kGuidUsbDeviceInterface)) return 1;
  if (argc >= 4) {
    auto h = HandleHold::ForPath(machine, std::string(argv[3]) + ":\\");
    if (!h) return 3;
    hold = std::move(h).value();
    if (!notifier->RegisterHandle(hold)) return 1;
  }
  auto handle = window.GetHandle();
  std::thread stdinWatch([handle] {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    (void)handle.Post(kWmClose);
  });
  std::printf("ready\n");
  std::fflush(stdout);
  (void)window.Run();
  stdinWatch.join();
  notifier.reset();
  return 0;
}
