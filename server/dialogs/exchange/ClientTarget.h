#pragma once
// The client target selection every client-settings dialog shares: three ways to name a client
// (IP address control, machine name, an entry of the active clients), turned into the target of
// an exchange or refused with the dialog's message.
//
// Thread affinity: none (pure functions).

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace uv::server {

enum class TargetMode { kIpAddress = 0, kMachineName = 1, kActiveClients = 2 };

inline constexpr std::string_view kInvalidIpText = "Invalid IP Address";
inline constexpr std::string_view kInvalidServerNameText = "Please Enter Valid Name of Server";
inline constexpr std::string_view kInvalidClientNameText = "Please Enter Valid Name of Client";
inline constexpr std::string_view kEmptyActiveListText = "Sorry! Active client List is empty";
inline constexpr std::string_view kErrorConnectingText = "Error connecting to specified client";

struct TargetInput {
  TargetMode mode = TargetMode::kIpAddress;
  std::array<int, 4> ip{};  // the four fields of the IP address control
  std::string name;         // the machine name edit
  // The selected entry of the active clients combo box; none when the box has no entries.
  std::optional<std::string> activeEntry;
};

struct TargetChoice {
  std::string target;
  int resolveByName = 0;  // the target mode: 0 converts directly, others look the name up
};

struct TargetSelection {
  std::optional<TargetChoice> choice;
  std::string_view refusal;  // the message when there is no choice
};

// `invalidNameText` is the dialog's own message for a bad name; `refuseEmptyActiveList` asks for
// "Sorry! Active client List is empty" when the active clients box has no entries.
[[nodiscard]] TargetSelection SelectClientTarget(const TargetInput& input,
                                                 std::string_view invalidNameText,
                                                 bool refuseEmptyActiveList);

// An active clients entry in its canonical form: split at ".", each part converted as a decimal
// number and formatted again with "%d.%d.%d.%d" (192.168.001.010 gives 192.168.1.10). Missing
// parts are 0; a text that is no address stays no address and fails when it is looked up.
[[nodiscard]] std::string CanonicalClientAddress(std::string_view entry);

}  // namespace uv::server
