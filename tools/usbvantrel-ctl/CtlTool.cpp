#include "tools/usbvantrel-ctl/CtlTool.h"

#include <algorithm>
#include <iterator>
#include <ostream>

#include "platform/net/Ipv4Address.h"
#include "server/dialogs/exchange/ClientTarget.h"

namespace uv::ctl {

namespace {

using server::ExchangeKind;
using server::ExchangePhase;

constexpr const char* kUsage =
    "Usage: usbvantrel-ctl HOST get block|whitelist|idle|offline\n"
    "       usbvantrel-ctl HOST set block on|off\n"
    "       usbvantrel-ctl HOST set whitelist USERS DEVICES MAKES\n"
    "       usbvantrel-ctl HOST set idle MINUTES\n"
    "       usbvantrel-ctl HOST set offline on|off\n"
    "HOST is a client's dotted address or computer name. List entries are joined by \",\";\n"
    "\"-\" is an empty list. MINUTES is 10, 20, 30, 60, 120, or 0 for never.\n"
    "Exit codes: 0 done, 1 client not reached, 2 usage, 3 no reply to the question.\n";

struct Setting {
  const char* name;
  ExchangeKind kind;
};
constexpr Setting kSettings[] = {{"block", ExchangeKind::kBlockState},
                                 {"whitelist", ExchangeKind::kWhiteLists},
                                 {"idle", ExchangeKind::kSaveEnergyTime},
                                 {"offline", ExchangeKind::kOfflineMessage}};

int Usage(std::ostream& err, const std::string& why) {
  if (!why.empty()) err << "usbvantrel-ctl: " << why << "\n";
  err << kUsage;
  return kExitUsage;
}

std::optional<bool> OnOff(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

bool ValidList(const std::string& list) {
  return list.find(';') == std::string::npos && list.size() < 1000;
}

}  // namespace

int RunCtl(const std::vector<std::string>& args, platform::Machine& machine,
           const server::ExchangeLimits& limits, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    out << kUsage;
    return kExitOk;
  }
  if (args.size() < 3) return Usage(err, "too few arguments");
  const std::string& host = args[0];
  const std::string& verb = args[1];
  const Setting* setting = nullptr;
  for (const Setting& s : kSettings) {
    if (args[2] == s.name) setting = &s;
  }
  if (setting == nullptr) return Usage(err, "unknown setting '" + args[2] + "'");
  if (host.empty() || host.find(' ') != std::string::npos) {
    err << server::kInvalidClientNameText << "\n";
    return kExitUsage;
  }

  server::ExchangeRequest request;
  request.target = host;
  request.kind = setting->kind;
  request.resolveByName = platform::Ipv4Address::Parse(host) ? 0 : 1;
  if (verb == "get") {
    if (args.size() != 3) return Usage(err, "get takes no value");
    request.phase = ExchangePhase::kQuery;
  } else if (verb == "set") {
    request.phase = ExchangePhase::kApply;
    switch (setting->kind) {
      case ExchangeKind::kBlockState:
      case ExchangeKind::kOfflineMessage: {
        const auto on = args.size() == 4 ? OnOff(args[3]) : std::nullopt;
        if (!on) return Usage(err, "expected on or off");
        request.applyFrame = setting->kind == ExchangeKind::kBlockState
                                 ? protocol::BuildSetFrame(*on)
                                 : protocol::BuildSomFrame(*on);
        break;
      }
      case ExchangeKind::kSaveEnergyTime: {
        static constexpr int kMinutes[] = {10, 20, 30, 60, 120, 0};
        const int minutes = args.size() == 4 ? protocol::DecimalValue(args[3]) : -1;
        const bool known =
            args.size() == 4 && std::to_string(minutes) == args[3] &&
            std::find(std::begin(kMinutes), std::end(kMinutes), minutes) != std::end(kMinutes);
        if (!known) return Usage(err, "MINUTES must be 10, 20, 30, 60, 120 or 0");
        request.applyFrame = protocol::BuildSitFrame(minutes);
        break;
      }
      case ExchangeKind::kWhiteLists: {
        if (args.size() != 6) return Usage(err, "expected USERS DEVICES MAKES");
        for (std::size_t i = 3; i < 6; ++i) {
          if (!ValidList(args[i])) return Usage(err, "a list holds no ';' and under 1000 bytes");
        }
        auto list = [](const std::string& text) {
          return text == std::string(protocol::kEmptyListMark) ? std::string() : text;
        };
        request.applyFrame = protocol::BuildSwhFrame({list(args[3]), list(args[4]), list(args[5])});
        break;
      }
      case ExchangeKind::kUsbStatusRow:
        break;
    }
  } else {
    return Usage(err, "unknown verb '" + verb + "'");
  }

  server::CommandExchange exchange(machine, limits);
  const server::ExchangeStatus status = exchange.Run(request);
  if (!server::Succeeded(status)) {
    err << server::kErrorConnectingText << "\n";
    return kExitUnreachable;
  }
  if (request.phase == ExchangePhase::kApply) {
    out << "Settings are applied to specified client.\n";
    return kExitOk;
  }
  const server::ExchangeHolders& values = exchange.Holders();
  if (!values.stored) {
    err << "usbvantrel-ctl: the client's answer was no reply to the question\n";
    return kExitBadReply;
  }
  switch (setting->kind) {
    case ExchangeKind::kBlockState:
      out << (values.unblocked != 0 ? "off" : "on") << "\n";
      break;
    case ExchangeKind::kWhiteLists: {
      const protocol::WhiteLists lists = protocol::SplitWhiteLists(values.whiteListText);
      out << "users: " << lists.users << "\ndevices: " << lists.devices
          << "\nmakes: " << lists.makes << "\n";
      break;
    }
    case ExchangeKind::kSaveEnergyTime:
      out << values.idleMinutes << "\n";
      break;
    case ExchangeKind::kOfflineMessage:
      out << (values.offlineSwitch != 0 ? "on" : "off") << "\n";
      break;
    case ExchangeKind::kUsbStatusRow:
      break;
  }
  return kExitOk;
}

}  // namespace uv::ctl
