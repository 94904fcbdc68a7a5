#pragma once
// The length of one minute for idle detection and the agent's Save-Energy timer. Real minutes
// unless the environment variable USBVANTREL_MINUTE_MS holds a whole number of milliseconds from
// 1 to 60000: tests and the demo set it (for example to 20) so that a ten-minute idle spell
// passes in a fifth of a second. Any other text is ignored. Nothing else in the system scales.
//
// Thread affinity: none; the variable is read on every call.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace uv::platform {

inline constexpr std::string_view kMinuteLengthVariable = "USBVANTREL_MINUTE_MS";
inline constexpr std::chrono::milliseconds kRealMinute{60000};

std::chrono::milliseconds MinuteLength();

// The text's value when it is 1 to 60000 written in decimal digits only.
std::optional<std::chrono::milliseconds> ParseMinuteLength(std::string_view text);

// minutes × minuteLength, saturating instead of overflowing.
std::chrono::milliseconds MinutesToDuration(std::uint64_t minutes,
                                            std::chrono::milliseconds minuteLength);

}  // namespace uv::platform
