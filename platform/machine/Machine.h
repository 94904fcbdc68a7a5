#pragma once
// The machine root: one directory is one computer. Every program works on one root, chosen by
// USBVANTREL_ROOT (default /var/lib/usbvantrel for root, ~/.local/share/usbvantrel otherwise).
// Several roots on one host are several computers.
//
//   <root>/registry.db                          the registry (HKLM)
//   <root>/Windows/System32/                    the system directory
//   <root>/Windows/System32/drivers/etc/hosts   name lookups of this computer
//   <root>/Windows/Media/                       sounds
//   <root>/Volumes/<volume>/                    backing directories of emulated volumes
//   <root>/run/                                 named mutexes, control and notification sockets
//   <root>/EventLog.log                         the event log of this computer's services
//
// Thread affinity: none; a Machine is immutable after construction except for the registry,
// which is opened once under a lock and is itself thread-safe, and the computer name's cache,
// which has a lock of its own.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/common/Result.h"

namespace uv::platform {

class Registry;

class Machine {
 public:
  explicit Machine(std::filesystem::path root);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The root named by USBVANTREL_ROOT, or the default for this user.
  static std::filesystem::path DefaultRoot();

  // The process's own machine (DefaultRoot()), created on first use. Programs use this;
  // libraries take a Machine& so that tests can run several machines in one process.
  static Machine& Current();

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path RegistryFile() const { return root_ / "registry.db"; }

  // Directories below the root; each is created (with its parents) on first request. Creation
  // failures are not reported here: the caller's own open of a file below it fails instead.
  std::filesystem::path WindowsDirectory() const;  // <root>/Windows
  std::filesystem::path SystemDirectory() const;   // <root>/Windows/System32
  std::filesystem::path MediaDirectory() const;    // <root>/Windows/Media
  std::filesystem::path VolumesDirectory() const;  // <root>/Volumes
  std::filesystem::path RunDirectory() const;      // <root>/run
  std::filesystem::path HostsFile() const;         // <root>/Windows/System32/drivers/etc/hosts
  std::filesystem::path EventLogFile() const;      // <root>/EventLog.log

  // The registry of this machine, opened (and created when missing) on first use. A corrupt or
  // unreadable registry.db gives kErrorRegistryCorrupt / kErrorRegistryIoFailed, and
  // RegistryError() then says what is wrong with which file; nothing is overwritten.
  Result<Registry*> OpenRegistry();
  std::string RegistryError() const;

  // The computer name: the value "ComputerName" of the registry key
  // SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName when it is a non-empty
  // string, else the host name. Empty only
  // when neither can be read (callers then use "UNKNOWN"). Every event asks for it, so the
  // registry's answer is kept while the registry's change counter stands still: a new name
  // takes effect at the next call after its commit, whichever process wrote it.
  std::string ComputerName();

 private:
  std::filesystem::path root_;
  mutable std::mutex mutex_;            // guards registry_ and registryError_
  std::unique_ptr<Registry> registry_;  // opened on first OpenRegistry()
  std::string registryError_;
  std::mutex nameMutex_;                    // guards the two below
  std::optional<std::uint64_t> nameCount_;  // change count at which registryName_ was read
  std::string registryName_;                // empty: the registry gave none, the host name counts
};

}  // namespace uv::platform
