#pragma once
// Whether the client program runs on this computer. A computer is a machine root, so the check
// takes the process snapshot and looks for a program named "USBVantrelClient" (letter case and
// an ".exe" ending ignored, as Windows compares "USBVantrelClient.exe") that was started on this
// machine root: its environment names this root in USBVANTREL_ROOT, or names none and this root
// is the default root. A process whose environment cannot be read (another user's) counts when
// its name matches, since nothing says it runs elsewhere.
//
// Thread affinity: none.

#include <filesystem>
#include <optional>
#include <string_view>

namespace uv::server {

inline constexpr std::string_view kClientProgramName = "USBVantrelClient.exe";

// The name test alone: "USBVantrelClient", "usbvantrelclient.EXE" match.
[[nodiscard]] bool IsClientProgramName(std::string_view exeName);

// The machine root a process environment block ("NAME=value\0...") names: USBVANTREL_ROOT, or
// the default root for HOME and the user when unset. None when the block says nothing usable.
[[nodiscard]] std::optional<std::filesystem::path> RootOfEnvironment(std::string_view environment,
                                                                     bool runsAsRoot);

[[nodiscard]] bool IsClientProgramRunning(const std::filesystem::path& machineRoot);

}  // namespace uv::server
