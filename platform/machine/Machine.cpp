#include "platform/machine/Machine.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

namespace uv::platform {
namespace {

constexpr std::string_view kComputerNameKey =
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";
constexpr std::string_view kComputerNameValue = "ComputerName";

std::filesystem::path Ensure(std::filesystem::path directory) {
  std::error_code ignored;  // a failure shows up when the caller opens something below it
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

std::filesystem::path HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  // getpwuid_r: the passwd entry lives in our own buffer, so other threads cannot overwrite it.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/tmp";
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace

Machine::Machine(std::filesystem::path root) : root_(std::move(root)) {}
Machine::~Machine() = default;

std::filesystem::path Machine::DefaultRoot() {
  const char* chosen = std::getenv("USBVANTREL_ROOT");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  if (::geteuid() == 0) return "/var/lib/usbvantrel";
  return HomeDirectory() / ".local" / "share" / "usbvantrel";
}

Machine& Machine::Current() {
  // The process's own computer; constructed once, on first use, by whichever thread asks first.
  static Machine machine(DefaultRoot());
  return machine;
}

std::filesystem::path Machine::WindowsDirectory() const {
  return Ensure(root_ / "Windows");
}
std::filesystem::path Machine::SystemDirectory() const {
  return Ensure(root_ / "Windows" / "System32");
}
std::filesystem::path Machine::MediaDirectory() const {
  return Ensure(root_ / "Windows" / "Media");
}
std::filesystem::path Machine::VolumesDirectory() const {
  return Ensure(root_ / "Volumes");
}
std::filesystem::path Machine::RunDirectory() const {
  return Ensure(root_ / "run");
}
std::filesystem::path Machine::HostsFile() const {
  return Ensure(root_ / "Windows" / "System32" / "drivers" / "etc") / "hosts";
}
std::filesystem::path Machine::EventLogFile() const {
  Ensure(root_);
  return root_ / "EventLog.log";
}

Result<Registry*> Machine::OpenRegistry() {
  std::lock_guard lock(mutex_);
  if (registry_) return registry_.get();
  // A failure is not remembered: the next call tries again, so a registry that an
  // administrator repairs (or creates) meanwhile is picked up.
  std::string error;
  auto opened = Registry::Open(RegistryFile(), &error);
  if (!opened) {
    registryError_ = error;
    return Result<Registry*>::Failure(opened.error());
  }
  registryError_.clear();
  registry_ = std::move(opened).value();
  return registry_.get();
}

std::string Machine::RegistryError() const {
  std::lock_guard lock(mutex_);
  return registryError_;
}

std::string Machine::ComputerName() {
  Result<Registry*> registry = OpenRegistry();
  if (!registry) return HostName();
  // Read before the registry is, so that a commit landing in between is caught next time.
  const std::optional<std::uint64_t> count = (*registry)->ChangeCount();
  {
    std::lock_guard lock(nameMutex_);
    if (count && nameCount_ == count) {
      return registryName_.empty() ? HostName() : registryName_;
    }
  }
  std::string name;
  Result<RegKey> key = RegKey::Open(**registry, kComputerNameKey);
  if (key) {
    if (Result<std::string> value = key->QueryString(kComputerNameValue); value) {
      name = std::move(*value);
    }
  }
  {
    std::lock_guard lock(nameMutex_);
    nameCount_ = count;
    registryName_ = name;
  }
  return name.empty() ? HostName() : name;
}

}  // namespace uv::platform
