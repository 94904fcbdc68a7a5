#include "platform/session/IdleTimeScale.h"

#include <cstdlib>
#include <limits>
#include <string>

namespace uv::platform {

std::optional<std::chrono::milliseconds> ParseMinuteLength(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kRealMinute.count()) return std::nullopt;
  return std::chrono::milliseconds(value);
}

std::chrono::milliseconds MinuteLength() {
  const char* text = std::getenv(std::string(kMinuteLengthVariable).c_str());
  if (text == nullptr) return kRealMinute;
  return ParseMinuteLength(text).value_or(kRealMinute);
}

std::chrono::milliseconds MinutesToDuration(std::uint64_t minutes,
                                            std::chrono::milliseconds minuteLength) {
  using Rep = std::chrono::milliseconds::rep;
  const auto length =
      static_cast<std::uint64_t>(minuteLength.count() > 0 ? minuteLength.count() : 0);
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<Rep>::max());
  if (length != 0 && minutes > max / length) return std::chrono::milliseconds::max();
  return std::chrono::milliseconds(static_cast<Rep>(minutes * length));
}

}  // namespace uv::platform
