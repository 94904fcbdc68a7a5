#pragma once
// IPv4 addresses and endpoints as the programs handle them: dotted text on the wire and in the
// registry, numbers in host order here (no network-order surprises for callers).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace uv::platform {

class Ipv4Address {
 public:
  constexpr Ipv4Address() = default;
  constexpr explicit Ipv4Address(std::uint32_t hostOrder) : value_(hostOrder) {}
  constexpr Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
      : value_((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) |
               std::uint32_t{d}) {}

  // Strict dotted-decimal text: exactly four decimal parts 0..255, each one to three digits,
  // nothing before or after. "1.2.3" or "01.2.3.4567" are not addresses.
  static std::optional<Ipv4Address> Parse(std::string_view text);

  static constexpr Ipv4Address Any() { return Ipv4Address(0u); }  // INADDR_ANY
  static constexpr Ipv4Address Loopback() { return Ipv4Address(127, 0, 0, 1); }

  constexpr std::uint32_t HostOrder() const { return value_; }
  constexpr bool IsAny() const { return value_ == 0; }
  // 127.0.0.0/8
  constexpr bool IsLoopback() const { return (value_ >> 24) == 127; }

  // "%d.%d.%d.%d"
  std::string ToString() const;
  // The same text written into `buffer` (a view of it), for callers that format many addresses
  // and must not allocate for each.
  std::string_view ToChars(char (&buffer)[16]) const;

  friend constexpr bool operator==(Ipv4Address, Ipv4Address) = default;

 private:
  std::uint32_t value_ = 0;
};

struct SocketAddress {
  Ipv4Address address;
  std::uint16_t port = 0;

  // "a.b.c.d:port"
  std::string ToString() const;
  friend constexpr bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

}  // namespace uv::platform
