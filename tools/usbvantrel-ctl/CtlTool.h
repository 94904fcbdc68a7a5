#pragma once
// usbvantrel-ctl: reads and sets the four settings of a client agent from the command line, with
// the exchange, frames and error texts of the console's dialogs.
//
//   usbvantrel-ctl HOST get block|whitelist|idle|offline
//   usbvantrel-ctl HOST set block on|off
//   usbvantrel-ctl HOST set whitelist USERS DEVICES MAKES   ("-" for an empty list)
//   usbvantrel-ctl HOST set idle MINUTES                    (10, 20, 30, 60, 120 or 0)
//   usbvantrel-ctl HOST set offline on|off
//
// Exit codes: 0 done, 1 the client could not be reached (or did not answer in time), 2 usage,
// 3 the client's answer was no reply to the question.

#include <iosfwd>
#include <string>
#include <vector>

#include "server/dialogs/exchange/CommandExchange.h"

namespace uv::platform {
class Machine;
}

namespace uv::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUnreachable = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitBadReply = 3;

int RunCtl(const std::vector<std::string>& args, platform::Machine& machine,
           const server::ExchangeLimits& limits, std::ostream& out, std::ostream& err);

}  // namespace uv::ctl
