#include "platform/net/Ipv4Address.h"

#include <cstdio>

namespace uv::platform {

std::optional<Ipv4Address> Ipv4Address::Parse(std::string_view text) {
  std::uint32_t value = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    std::uint32_t number = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 3) return std::nullopt;
      number = number * 10 + static_cast<std::uint32_t>(text[pos] - '0');
      ++pos;
    }
    if (digits == 0 || number > 255) return std::nullopt;
    value = (value << 8) | number;
  }
  if (pos != text.size()) return std::nullopt;
  return Ipv4Address(value);
}

std::string Ipv4Address::ToString() const {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (value_ >> 24) & 0xFF, (value_ >> 16) & 0xFF,
                (value_ >> 8) & 0xFF, value_ & 0xFF);
  return text;
}

std::string SocketAddress::ToString() const {
  return address.ToString() + ":" + std::to_string(port);
}

}  // namespace uv::platform
