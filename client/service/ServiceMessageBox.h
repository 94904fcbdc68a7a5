#pragma once
// How a message box of a service program reaches a person. A service has no desktop that anyone
// watches, and a box that waits for an answer there would stall the code behind it, so:
// - with a terminal on stderr (console mode, or a command line such as "-install"), the caption
//   and the text go to stderr as one line "<caption>: <text>";
// - otherwise the text is written to the machine's event log as an error event of `source`
//   (identifier kMessageBoxEventId, strings caption and text);
// - silent shows nothing.
// Nothing waits for an answer: the call returns at once either way.
//
// Thread affinity: none.

#include <cstdint>
#include <string_view>

namespace uv::platform {
class Machine;
}

namespace uv::client {

inline constexpr std::uint32_t kMessageBoxEventId = 0xC0000010;

// True when the message went somewhere (false: silent, or neither stderr nor the log took it).
bool ServiceMessageBox(platform::Machine& machine, std::string_view source,
                       std::string_view caption, std::string_view text, bool silent = false);

}  // namespace uv::client
