#include "server/dialogs/whitelist/ClientProgramCheck.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include "platform/process/ProcessLauncher.h"
#include "platform/trace/Trace.h"

namespace uv::server {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::filesystem::path Canonical(const std::filesystem::path& path) {
  std::error_code error;
  auto canonical = std::filesystem::weakly_canonical(path, error);
  return error ? path.lexically_normal() : canonical;
}

// What /proc says of a process: its environment and whether it runs as root. None when the
// environment is not readable.
std::optional<std::string> ReadEnvironment(platform::ProcessId pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (!in) return std::nullopt;
  // Environments are small; 1 MiB is far beyond any and bounds a strange one.
  std::string text;
  text.resize(1 << 20);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.empty()) return std::nullopt;  // kernel threads, or not allowed to read
  return text;
}

bool RunsAsRoot(platform::ProcessId pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) {
      const auto first = line.find_first_of("0123456789");
      return first != std::string::npos && line[first] == '0' &&
             (first + 1 >= line.size() || line[first + 1] == '\t' || line[first + 1] == ' ');
    }
  }
  return false;
}

}  // namespace

bool IsClientProgramName(std::string_view exeName) {
  constexpr std::string_view kExe = ".exe";
  const std::string_view base = kClientProgramName.substr(0, kClientProgramName.size() - 4);
  if (EqualNoCase(exeName, kClientProgramName)) return true;
  if (exeName.size() > kExe.size() && EqualNoCase(exeName.substr(exeName.size() - 4), kExe)) {
    return false;
  }
  return EqualNoCase(exeName, base);
}

std::optional<std::filesystem::path> RootOfEnvironment(std::string_view environment,
                                                       bool runsAsRoot) {
  std::optional<std::string> root;
  std::optional<std::string> home;
  std::size_t start = 0;
  while (start < environment.size()) {
    std::size_t end = environment.find('\0', start);
    if (end == std::string_view::npos) end = environment.size();
    const std::string_view entry = environment.substr(start, end - start);
    if (entry.rfind("USBVANTREL_ROOT=", 0) == 0) root = std::string(entry.substr(16));
    if (entry.rfind("HOME=", 0) == 0) home = std::string(entry.substr(5));
    start = end + 1;
  }
  if (root && !root->empty()) return std::filesystem::path(*root);
  if (runsAsRoot) return std::filesystem::path("/var/lib/usbvantrel");
  if (home && !home->empty()) return std::filesystem::path(*home) / ".local/share/usbvantrel";
  return std::nullopt;
}

bool IsClientProgramRunning(const std::filesystem::path& machineRoot) {
  auto snapshot = platform::SnapshotProcesses();
  if (!snapshot.ok()) return false;
  const auto ours = Canonical(machineRoot);
  for (const platform::ProcessEntry& entry : *snapshot) {
    platform::Trace(" Exe name = " + entry.exeName);
    if (!IsClientProgramName(entry.exeName)) continue;
    const auto environment = ReadEnvironment(entry.pid);
    if (!environment) return true;
    const auto root = RootOfEnvironment(*environment, RunsAsRoot(entry.pid));
    if (root && Canonical(*root) == ours) return true;
  }
  return false;
}

}  // namespace uv::server
