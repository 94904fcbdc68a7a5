#pragma once
// The registry of one machine (HKEY_LOCAL_MACHINE), kept in <root>/registry.db (SQLite, WAL,
// busy timeout), with the behaviour of the Windows registry that our programs rely on:
//
// - keys with subkeys and values; key and value names are case-insensitive and keep the case
//   they were created with; the default value has the empty name;
// - the five value types with their exact bytes: REG_SZ and REG_EXPAND_SZ as the text and one
//   zero byte, REG_MULTI_SZ as texts each ending in a zero byte and one more zero byte (a writer
//   may also store one text without any terminator, as the whitelists do: the bytes are kept as
//   given), REG_DWORD as four little-endian bytes, REG_BINARY as given; any other type number
//   (REG_NONE, REG_DWORD_BIG_ENDIAN, REG_QWORD...) with its bytes as given;
// - enumeration by index in a stable order (subkeys and values in order of creation);
//   an index past the end gives kErrorNoMoreItems. While nothing was committed (see the
//   counter below) a walk by index is served from one read of the whole list;
// - any process may read; writing, creating, deleting, or opening with RegAccess::kAll needs
//   administrator rights, and fails with kErrorAccessDenied otherwise. The administrator of a
//   machine root is whoever may write its registry database (file permissions decide);
// - a missing key or value gives kErrorFileNotFound; an operation on a key deleted by someone
//   else gives kErrorKeyDeleted;
// - many threads and processes use it at once. Beside the database, <file>-gen holds a counter
//   that every commit bumps; while it stands still a process answers repeated reads from
//   memory, so reading a setting on every event costs no file locking.
//
// Paths are relative to HKEY_LOCAL_MACHINE and use "\" as separator ("Software\Quorrel\...").
// Thread affinity: none. A Registry and the RegKeys opened on it may be used from any thread;
// a RegKey must not outlive its Registry.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/Result.h"

namespace uv::platform {

enum class RegType : std::uint32_t {
  kNone = 0,
  kSz = 1,
  kExpandSz = 2,
  kBinary = 3,
  kDword = 4,
  kDwordBigEndian = 5,  // stored as given; only the registry tool writes it
  kMultiSz = 7,
  kQword = 11,  // stored as given; only the registry tool writes it
};

// Rights asked for when a key is opened. kRead is granted to everyone; kWrite and kAll only to
// the administrator.
enum class RegAccess { kRead, kWrite, kAll };

struct RegValue {
  RegType type = RegType::kNone;
  std::vector<std::uint8_t> data;  // exact bytes, as RegQueryValueEx returns them
};

class RegKey;

class Registry {
 public:
  // Opens <root>/registry.db, creating it (and the root) when it does not exist and the caller
  // may create it. A file that is not a registry (corrupt, wrong format, unreadable) fails with
  // kErrorRegistryCorrupt or kErrorRegistryIoFailed and *errorText names the file and the
  // cause; such a file is never modified.
  static Result<std::unique_ptr<Registry>> Open(const std::filesystem::path& databaseFile,
                                                std::string* errorText = nullptr);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // True when this process may write the database (see above).
  bool IsAdministrator() const;

  const std::filesystem::path& File() const;

  // The shared change counter (see above): while it gives the same number, nothing was
  // committed by any process, so a caller may keep what it derived from earlier reads. Read it
  // before the reads it guards. Nothing when the counter cannot be mapped: then every read must
  // go to the registry.
  std::optional<std::uint64_t> ChangeCount() const;

  class Impl;
  Impl& impl() { return *impl_; }

 private:
  explicit Registry(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// An open key (HKEY). Closing happens on destruction. Move-only.
class RegKey {
 public:
  RegKey() = default;
  ~RegKey();
  RegKey(RegKey&&) noexcept;
  RegKey& operator=(RegKey&&) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // RegOpenKeyEx on HKEY_LOCAL_MACHINE. The empty path opens HKLM itself.
  static Result<RegKey> Open(Registry& registry, std::string_view path,
                             RegAccess access = RegAccess::kRead);
  // RegCreateKeyEx: opens the key, creating it and every missing parent. *created tells whether
  // the last key was new. Needs administrator rights even when the key exists.
  static Result<RegKey> Create(Registry& registry, std::string_view path,
                               RegAccess access = RegAccess::kAll, bool* created = nullptr);

  Result<RegKey> OpenSubKey(std::string_view path, RegAccess access = RegAccess::kRead) const;
  Result<RegKey> CreateSubKey(std::string_view path, RegAccess access = RegAccess::kAll,
                              bool* created = nullptr) const;

  bool IsOpen() const { return registry_ != nullptr; }
  // The full path below HKLM, with the case of the names as stored.
  const std::string& Path() const { return path_; }
  RegAccess Access() const { return access_; }

  // RegQueryValueEx. The empty name is the default value.
  Result<RegValue> QueryValue(std::string_view name) const;
  // Typed reads: a value of another type gives kErrorInvalidData.
  Result<std::uint32_t> QueryDword(std::string_view name) const;
  // REG_SZ or REG_EXPAND_SZ (no expansion), up to the first zero byte. A value stored without a
  // terminator is read whole.
  Result<std::string> QueryString(std::string_view name) const;
  // REG_MULTI_SZ as its texts (a stored single text without terminator gives one text).
  Result<std::vector<std::string>> QueryMultiString(std::string_view name) const;

  // RegSetValueEx with the exact bytes. Needs kWrite or kAll.
  WinError SetValue(std::string_view name, RegType type, std::span<const std::uint8_t> data);
  WinError SetDword(std::string_view name, std::uint32_t value);
  // Stores the text and one terminating zero byte.
  WinError SetString(std::string_view name, std::string_view text, RegType type = RegType::kSz);
  // Stores each text with its terminator and the final extra zero byte.
  WinError SetMultiString(std::string_view name, const std::vector<std::string>& texts);

  // RegEnumKeyEx / RegEnumValue by index in creation order.
  Result<std::string> EnumKey(std::uint32_t index) const;
  struct NamedValue {
    std::string name;
    RegValue value;
  };
  Result<NamedValue> EnumValue(std::uint32_t index) const;
  // Every subkey name in the order EnumKey gives them, read at once: a walk over many keys
  // costs one read instead of one per name. A deleted key gives kErrorKeyDeleted.
  Result<std::vector<std::string>> EnumKeys() const;
  // Counts, as RegQueryInfoKey gives them.
  Result<std::uint32_t> SubKeyCount() const;
  Result<std::uint32_t> ValueCount() const;

  // RegDeleteValue.
  WinError DeleteValue(std::string_view name);
  // RegDeleteKey: the subkey must have no subkeys of its own (kErrorAccessDenied otherwise).
  WinError DeleteSubKey(std::string_view path);
  // RegDeleteTree: the subkey and everything below it; the empty path deletes everything below
  // this key but keeps the key itself.
  WinError DeleteTree(std::string_view path);

 private:
  RegKey(Registry* registry, std::int64_t id, std::string path, RegAccess access)
      : registry_(registry), id_(id), path_(std::move(path)), access_(access) {}
  friend class Registry;
  Registry* registry_ = nullptr;
  std::int64_t id_ = 0;
  std::string path_;
  RegAccess access_ = RegAccess::kRead;
};

}  // namespace uv::platform
