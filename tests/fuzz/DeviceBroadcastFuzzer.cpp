// Device broadcasts as they arrive from other processes' datagrams: any bytes. A record that is
// accepted must encode to bytes that decode to the same record.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/pnp/DeviceNotifier.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace uv::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto record = DecodeDeviceBroadcast(std::span<const std::uint8_t>(data, size));
  if (!record) return 0;
  const std::vector<std::uint8_t> encoded = EncodeDeviceBroadcast(*record);
  const auto again = DecodeDeviceBroadcast(encoded);
  UV_FUZZ_CHECK(again.has_value());
  UV_FUZZ_CHECK(EncodeDeviceBroadcast(*again) == encoded);
  return 0;
}
