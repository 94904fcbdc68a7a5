#pragma once
// The string table texts of the client-settings dialogs, by their resource numbers.

namespace uv::server::texts {

inline constexpr const char* k105Connecting = "Connecting to specified client...";
inline constexpr const char* k106SaveEnergyKnown =
    "Specified Client's Save Energy time is as above.";
inline constexpr const char* k107Enter = "Enter the Client details and then click 'Get Status'";
inline constexpr const char* k108Applied = "Settings are applied to specified client.";
inline constexpr const char* k110BlockKnown = "Specified Client's Block state is as above.";
inline constexpr const char* k111SelectTabs = "Select tabs to view or add to Whitelist";
inline constexpr const char* k112EnterUser = "Enter User Name and click Add to Whitelist";
inline constexpr const char* k113Insert = "Insert USB Device";
inline constexpr const char* k114UserAdded = "User is added to Whitelist";
inline constexpr const char* k115DeviceAdded = "Device details are added to Whitelist.";
inline constexpr const char* k116MakeAdded = "Device Make is added to Whitelist";
inline constexpr const char* k117SafelyRemoved = "The device can now be safely removed";
inline constexpr const char* k118Removing = "Please wait, removing device";
inline constexpr const char* k119ClickRemove =
    "Click 'Safely remove device' to safely remove the device";
inline constexpr const char* k120AddMakeOrInsert =
    "Click 'Add to Whitelist' to add device make to Whitelist or Insert new USB Device";
inline constexpr const char* k121OfflineKnown =
    "Specified Client's Send Offline Message setting is as above";
inline constexpr const char* k198AddDevice = "Click 'Add to Whitelist' to add device to Whitelist";
inline constexpr const char* k199AddMake =
    "Click 'Add to Whitelist' to add device make to Whitelist";
inline constexpr const char* k32806ClientNotRunning =
    "USB Vantrel! Client is not running on this computer.\nTo edit the Whitelist, please start "
    "the client.";

inline constexpr const char* kWhitelistCaption = "USB Vantrel! Whitelist Settings";

}  // namespace uv::server::texts
