#pragma once
// The service host's command line, parsed. Every argument after the program name that begins
// with "-" or "/" is a switch: the marker is stripped and the rest compared without regard to
// case. Arguments without a marker, and switches nobody knows, are ignored.
//
//   install | remove, uninstall | start | pause | continue | stop   the action
//   debug, app, application, console                             run in the console
//   help, ?                                                      help
//   silent        no failure text is shown          auto   automatic start (the default)
//   T:<ms>        wait timeout in milliseconds      SCL:<text>  extra image-path arguments
//   SN:<text>     service name   SDN:<text> display name   SD:<text> description
//   U:<text>      account        P:<text>   password
//
// The prefixes are recognised on an upper-cased copy and need at least one character after the
// colon; the value keeps its case. A "T:" whose rest is not a number of milliseconds (digits
// only, at most 4294967294; "-1" means no limit) is ignored, so the timeout keeps its default.
// Texts longer than kMaxSwitchText bytes are cut there, whole characters kept.
//
// Thread affinity: none (a plain value).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace uv::client {

class CNTServiceCommandLineInfo {
 public:
  enum class Action {
    kRunAsService,
    kStartService,
    kPauseService,
    kContinueService,
    kStopService,
    kInstallService,
    kUninstallService,
    kRunInConsole,
    kShowHelp,
  };

  // Longest text a switch keeps; the registry and the service name limits are far below it, so
  // only absurd input is cut.
  static constexpr std::size_t kMaxSwitchText = 2048;
  // The wait timeout meaning "no limit".
  static constexpr std::uint32_t kInfiniteTimeout = 0xFFFFFFFF;

  // Parses args (args[0] is the program and is skipped) into this object.
  void Parse(const std::vector<std::string>& args);
  // Parses one argument without its marker.
  void ParseSwitch(std::string_view text);

  // Overwrites the password (and the account) with zeros before clearing them.
  void WipeAccount();

  Action action = Action::kRunAsService;
  std::uint32_t timeout = 5000;
  bool silent = false;
  bool autoStart = false;
  std::string serviceCommandLine;  // SCL:
  std::string serviceName;         // SN:
  std::string serviceDisplayName;  // SDN:
  std::string serviceDescription;  // SD:
  std::string userName;            // U:
  std::string password;            // P:
};

}  // namespace uv::client
