#include "platform/net/Ipv4Address.h"

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
  return std::string(ToChars(text));
}

std::string_view Ipv4Address::ToChars(char (&buffer)[16]) const {
  char* at = buffer;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned octet = (value_ >> shift) & 0xFFu;
    if (octet >= 100) *at++ = static_cast<char>('0' + octet / 100);
    if (octet >= 10) *at++ = static_cast<char>('0' + octet / 10 % 10);
    *at++ = static_cast<char>('0' + octet % 10);
    if (shift > 0) *at++ = '.';
  }
  return {buffer, static_cast<std::size_t>(at - buffer)};
}

std::string SocketAddress::ToString() const {
  return address.ToString() + ":" + std::to_string(port);
}

}  // namespace uv::platform
