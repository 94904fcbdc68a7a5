#pragma once
// The event port: the UDP port on the console to which clients send their reports, and the two
// four-character requests that share it with them.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace uv::protocol {

inline constexpr std::uint16_t kEventPort = 40007;

// The console receives into a 1024-byte buffer and keeps one byte for the terminator, so this is
// the longest report text that reaches it.
inline constexpr std::size_t kEventReceiveBuffer = 1024;
inline constexpr std::size_t kMaxEventText = kEventReceiveBuffer - 1;

inline constexpr std::string_view kProbeRequest = "RUT;";
inline constexpr std::string_view kProbeAnswer = "IMA;";
inline constexpr std::string_view kConfigQuery = "GCC;";

// The client reads a probe answer into a buffer of this size.
inline constexpr std::size_t kProbeAnswerBuffer = 10;

enum class EventPortDatagram {
  kProbe,          // "RUT;": answer "IMA;"
  kConfigRequest,  // "GCC;": answer "0" or "1"
  kReport,         // anything else: an event report
};

// A datagram is one of the two requests only when its text, read as a zero-terminated string,
// equals their four characters over five bytes, the terminator included: "RUT;x" and "RUT" are
// reports; "RUT;" and "RUT;" followed by a zero byte (and anything after it) are probes, as
// consoles have always answered them. `datagram` is every byte received.
[[nodiscard]] EventPortDatagram ClassifyEventPortDatagram(std::string_view datagram);

// True only for an answer whose text (as a zero-terminated string in the client's zero-filled
// 10-byte buffer) is exactly "IMA;": further characters make it no answer, so a stray datagram
// with that prefix cannot make a console look reachable.
[[nodiscard]] bool IsProbeAnswer(std::string_view received);

// The text the console works with: the datagram up to its first zero byte (everything downstream
// treats the report as a zero-terminated text), cut to the whole UTF-8 characters that fit in
// kMaxEventText bytes.
[[nodiscard]] std::string_view EventTextOfDatagram(std::string_view datagram);

// The console's reply to "GCC;": "0" only when its DisallowClientConfig setting was read and is 0.
[[nodiscard]] std::string_view ConfigQueryAnswer(bool settingRead, std::uint32_t value);

}  // namespace uv::protocol
