#include "platform/net/Ipv4Address.h"

#include <gtest/gtest.h>

namespace uv::platform {
namespace {

TEST(Ipv4AddressTest, ParsesDottedTextAndFormatsItBack) {
  for (const char* text : {"0.0.0.0", "127.0.0.2", "192.168.1.1", "255.255.255.255", "10.0.0.10",
                           "1.20.100.9", "99.100.9.200"}) {
    const auto address = Ipv4Address::Parse(text);
    ASSERT_TRUE(address.has_value()) << text;
    EXPECT_EQ(address->ToString(), text);
  }
  EXPECT_EQ(Ipv4Address::Parse("192.168.1.23")->HostOrder(), 0xC0A80117u);
  EXPECT_EQ(Ipv4Address(192, 168, 1, 23), *Ipv4Address::Parse("192.168.1.23"));
}

TEST(Ipv4AddressTest, RejectsEverythingThatIsNotFourDecimalParts) {
  for (const char* text :
       {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.",
        "a.b.c.d", "1.2.3.4x", "0001.2.3.4", "1.2.3.-4", "PC17", "::1", "1.2.3.4:80"}) {
    EXPECT_FALSE(Ipv4Address::Parse(text).has_value()) << '"' << text << '"';
  }
}

TEST(Ipv4AddressTest, LoopbackIsTheWholeSlashEight) {
  EXPECT_TRUE(Ipv4Address(127, 0, 0, 1).IsLoopback());
  EXPECT_TRUE(Ipv4Address(127, 255, 3, 9).IsLoopback());
  EXPECT_FALSE(Ipv4Address(128, 0, 0, 1).IsLoopback());
  EXPECT_FALSE(Ipv4Address(126, 255, 255, 255).IsLoopback());
  EXPECT_TRUE(Ipv4Address::Any().IsAny());
  EXPECT_EQ((SocketAddress{Ipv4Address(127, 0, 0, 9), 40007}).ToString(), "127.0.0.9:40007");
}

}  // namespace
}  // namespace uv::platform
