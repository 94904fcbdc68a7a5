// The device tree's state file, as any process of the machine may find it (damaged, truncated or
// written by someone else). Parsing never fails; what it keeps must survive a rewrite unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pnp/DeviceState.h"
#include "tests/fuzz/FuzzCheck.h"

using namespace uv::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const DeviceState state = ParseDeviceState(text);
  for (const auto& device : state.devices) {
    UV_FUZZ_CHECK(state.FindDevice(device.instanceId) == &device);  // no duplicates kept
    (void)state.Subtree(device.instanceId);                         // a parent cycle must not loop
  }
  (void)state.LetterMask();

  // What was kept reads back the same, with nothing skipped.
  const std::string written = SerializeDeviceState(state);
  const DeviceState again = ParseDeviceState(written);
  UV_FUZZ_CHECK(again.skippedLines == 0);
  UV_FUZZ_CHECK(again.devices.size() == state.devices.size());
  UV_FUZZ_CHECK(again.volumes.size() == state.volumes.size());
  UV_FUZZ_CHECK(SerializeDeviceState(again) == written);
  return 0;
}
