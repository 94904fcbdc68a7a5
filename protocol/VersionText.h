#pragma once
// The version text at the head of every event report: "VERSION=" and the program's
// ProductVersion with every "," removed ("1, 6, 0, 0" gives "VERSION=1 6 0 0"). The console
// compares a report's text with its own, so both programs derive it the same way, at run time,
// from their own version resource.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/common/Result.h"

namespace uv::protocol {

inline constexpr std::string_view kVersionPrefix = "VERSION=";

// "VERSION=" + productVersion without its ",".
[[nodiscard]] std::string VersionTextOf(std::string_view productVersion);

// The version text from a version resource: its first translation, then that translation's
// ProductVersion. Fails when either is missing or the resource is malformed.
[[nodiscard]] platform::Result<std::string> VersionTextFromResource(
    std::span<const std::uint8_t> resource);

// The version resource compiled into this program. Every program that asks for its own version
// gets it from uv_add_version_resource() in its CMakeLists.txt, which generates the definition.
[[nodiscard]] std::span<const std::uint8_t> ProgramVersionResource();

// VersionTextFromResource(ProgramVersionResource()).
[[nodiscard]] platform::Result<std::string> OwnVersionText();

}  // namespace uv::protocol
