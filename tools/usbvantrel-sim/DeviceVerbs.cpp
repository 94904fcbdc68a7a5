#include "tools/usbvantrel-sim/DeviceVerbs.h"

#include <charconv>
#include <cstdio>
#include <ostream>

#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceManager.h"
#include "platform/pnp/DeviceNotifier.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/SetupApi.h"

namespace uv::sim {

namespace {

namespace pf = uv::platform;

bool ParseHex16(std::string_view text, std::uint16_t& out) {
  if (text.starts_with("0x") || text.starts_with("0X")) text.remove_prefix(2);
  if (text.empty() || text.size() > 4) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

// "E", "e", "E:", "E:\" -> 'E'; 0 otherwise.
char ParseLetter(std::string_view text) {
  if (text.size() >= 2 && text[1] == ':' &&
      (text.size() == 2 || text == std::string(1, text[0]) + ":\\"))
    text = text.substr(0, 1);
  if (text.size() != 1) return 0;
  char c = text[0];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return (c >= 'A' && c <= 'Z') ? c : 0;
}

bool ParseKind(std::string_view text, pf::DeviceKind& kind) {
  if (text == "stick")
    kind = pf::DeviceKind::kUsbStick;
  else if (text == "usb-hdd")
    kind = pf::DeviceKind::kUsbHardDisk;
  else if (text == "fixed")
    kind = pf::DeviceKind::kFixedDisk;
  else if (text == "cdrom")
    kind = pf::DeviceKind::kCdRom;
  else if (text == "floppy")
    kind = pf::DeviceKind::kFloppy;
  else if (text == "other")
    kind = pf::DeviceKind::kUsbOther;
  else
    return false;
  return true;
}

const char* DriveTypeName(std::uint32_t type) {
  switch (type) {
    case pf::kDriveRemovable:
      return "removable";
    case pf::kDriveFixed:
      return "fixed";
    case pf::kDriveCdRom:
      return "cdrom";
    default:
      return "unknown";
  }
}

const char* VetoName(std::uint32_t type) {
  switch (type) {
    case pf::kPnpVetoOutstandingOpen:
      return "a handle is open on the device";
    case pf::kPnpVetoWindowsApp:
      return "a program refused the removal";
    case 8:
      return "the device cannot be ejected";
    default:
      return "vetoed";
  }
}

int Fail(SimContext& context, std::string_view verb, std::string_view message) {
  context.err << "usbvantrel-sim " << verb << ": " << message << "\n";
  return kExitFailed;
}

}  // namespace

int PlugVerb(SimContext& context) {
  const auto usage = [&](std::string_view message) {
    return UsageError(context, kPlugVerb.name, kPlugVerb.usage, message);
  };
  pf::PlugRequest request;
  bool haveVid = false, havePid = false, haveSerial = false, noSerial = false;
  const auto& args = context.args;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takesValue = a == "--vid" || a == "--pid" || a == "--serial" || a == "--vendor" ||
                            a == "--product" || a == "--rev" || a == "--kind" || a == "--letter" ||
                            a == "--dir";
    if (takesValue && i + 1 >= args.size()) return usage("missing value after " + a);
    if (a == "--vid") {
      if (!ParseHex16(args[++i], request.vendorId)) return usage("--vid takes 1 to 4 hex digits");
      haveVid = true;
    } else if (a == "--pid") {
      if (!ParseHex16(args[++i], request.productId)) return usage("--pid takes 1 to 4 hex digits");
      havePid = true;
    } else if (a == "--serial") {
      request.serial = args[++i];
      haveSerial = true;
    } else if (a == "--no-serial") {
      noSerial = true;
    } else if (a == "--vendor") {
      request.vendorName = args[++i];
    } else if (a == "--product") {
      request.productName = args[++i];
    } else if (a == "--rev") {
      request.revision = args[++i];
    } else if (a == "--kind") {
      if (!ParseKind(args[++i], request.kind))
        return usage("unknown kind \"" + args[i] +
                     "\" (stick, usb-hdd, fixed, cdrom, floppy, other)");
    } else if (a == "--letter") {
      request.letter = ParseLetter(args[++i]);
      if (!request.letter) return usage("--letter takes a drive letter A to Z");
    } else if (a == "--dir") {
      request.contents = args[++i];
    } else if (a == "--defer-names") {
      request.deferNames = true;
    } else {
      return usage("unknown argument \"" + a + "\"");
    }
  }
  if (!haveVid || !havePid) return usage("--vid and --pid are required");
  if (haveSerial == noSerial) return usage("give either --serial TEXT or --no-serial");
  auto outcome = pf::Plug(context.machine, request);
  if (!outcome.ok()) return Fail(context, "plug", outcome.error.message);
  const auto& r = *outcome.value;
  if (!r.usbInstanceId.empty()) context.out << "device " << r.usbInstanceId << "\n";
  if (!r.storageInstanceId.empty()) context.out << "disk " << r.storageInstanceId << "\n";
  if (!r.volumeName.empty()) {
    context.out << "volume " << r.volumeName << " at " << r.backing.string() << "\n";
    if (r.letter)
      context.out << "drive " << r.letter << ":\n";
    else
      context.out << "no free drive letter: the volume is mounted without one\n";
  }
  return kExitOk;
}

int UnplugVerb(SimContext& context) {
  if (context.args.size() != 1)
    return UsageError(context, kUnplugVerb.name, kUnplugVerb.usage,
                      context.args.empty() ? "missing device" : "too many arguments");
  std::string what = context.args[0];
  if (const char letter = ParseLetter(what)) what = std::string(1, letter);
  auto outcome = pf::Unplug(context.machine, what);
  if (!outcome.ok()) return Fail(context, "unplug", outcome.error.message);
  context.out << "removed " << *outcome.value << "\n";
  return kExitOk;
}

int EjectVerb(SimContext& context) {
  if (context.args.size() != 1)
    return UsageError(context, kEjectVerb.name, kEjectVerb.usage,
                      context.args.empty() ? "missing drive letter" : "too many arguments");
  const char letter = ParseLetter(context.args[0]);
  if (!letter)
    return UsageError(context, kEjectVerb.name, kEjectVerb.usage,
                      "\"" + context.args[0] + "\" is not a drive letter");
  auto device = pf::DeviceOfLetter(context.machine, letter);
  if (!device) return Fail(context, "eject", std::string("there is no drive ") + letter + ":");
  pf::DevInst devInst = 0;
  if (pf::CmLocateDevNode(context.machine, &devInst, *device) != pf::kCrSuccess)
    return Fail(context, "eject", "the device has just left");
  const pf::EjectResult result = pf::CmRequestDeviceEject(context.machine, devInst);
  if (!result.Succeeded()) {
    char code[64];
    std::snprintf(code, sizeof code, "result 0x%X, veto type %u", result.configRet,
                  result.vetoType);
    return Fail(context, "eject",
                std::string(VetoName(result.vetoType)) +
                    (result.vetoName.empty() ? "" : ": " + result.vetoName) + " (" + code + ")");
  }
  context.out << "ejected " << *device << "\n";
  return kExitOk;
}

int ListVerb(SimContext& context) {
  if (!context.args.empty())
    return UsageError(context, kListVerb.name, kListVerb.usage, "no arguments expected");
  auto state = pf::StateStore(context.machine).Read();
  if (!state) return Fail(context, "list", "cannot read the device state of the machine root");
  if (state->skippedLines)
    context.err << "usbvantrel-sim list: " << state->skippedLines
                << " damaged lines of the device state were ignored\n";
  auto& out = context.out;
  out << "Devices:\n";
  if (state->devices.empty()) out << "  (none)\n";
  for (const auto& d : state->devices) {
    int depth = 0;
    for (const auto* p = state->FindDevice(d.parentId); p && depth < 8;
         p = state->FindDevice(p->parentId))
      ++depth;
    out << "  " << std::string(static_cast<std::size_t>(depth) * 2, ' ') << d.instanceId
        << "  devinst " << d.devInst;
    if (d.storage != pf::StorageClass::kNone)
      out << "  number " << d.deviceNumber << "  bus " << d.busType;
    out << "\n";
  }
  out << "Drives:\n";
  bool anyDrive = false;
  for (char c = 'A'; c <= 'Z'; ++c) {
    const auto* v = state->FindLetter(c);
    if (!v) continue;
    anyDrive = true;
    out << "  " << c << ":  " << DriveTypeName(v->driveType) << "  " << v->ntDevice << "  "
        << v->name << "\n";
  }
  if (!anyDrive) out << "  (none)\n";
  out << "Volumes:\n";
  if (state->volumes.empty()) out << "  (none)\n";
  for (const auto& v : state->volumes)
    out << "  " << v.name << "  " << (v.letter ? std::string(1, v.letter) + ":" : "(no letter)")
        << "  " << v.backing.string() << "  on " << v.deviceId << "\n";
  out << "Open handles:\n";
  const auto holds = pf::ListHolds(context.machine);
  if (holds.empty()) out << "  (none)\n";
  for (const auto& h : holds)
    out << "  " << h.program << " (pid " << h.pid << ")  " << h.openedAs << "  on "
        << (h.volume.empty() ? h.deviceId : h.volume) << "\n";
  out << "Notification recipients:\n";
  const auto recipients = pf::ListRecipients(context.machine);
  if (recipients.empty()) out << "  (none)\n";
  for (const auto& r : recipients) {
    out << "  " << r.program << " (pid " << r.pid << ")";
    for (const auto& g : r.registrations) out << "  [" << g << "]";
    out << "\n";
  }
  return kExitOk;
}

}  // namespace uv::sim
