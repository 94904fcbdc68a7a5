#include "tools/usbvantrel-reg/RegTool.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/common/FileWrite.h"
#include "platform/common/Text.h"
#include "platform/machine/Machine.h"
#include "platform/registry/Registry.h"
#include "tools/usbvantrel-reg/RegFile.h"

namespace uv::tools {
namespace {

using platform::kErrorAccessDenied;
using platform::kErrorFileNotFound;
using platform::kErrorKeyDeleted;
using platform::kErrorNoMoreItems;
using platform::kErrorSuccess;
using platform::Machine;
using platform::RegAccess;
using platform::Registry;
using platform::RegKey;
using platform::RegType;
using platform::RegValue;
using platform::WinError;

constexpr std::string_view kSuccess = "The operation completed successfully.";
constexpr std::string_view kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.";
constexpr std::string_view kAccessDenied = "ERROR: Access is denied.";
constexpr std::string_view kCanceled = "The operation was canceled by the user.";
constexpr std::string_view kFileError =
    "ERROR: Error opening the file. There may be a disk or file system error.";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kIndent = "    ";
// An import file larger than this is refused before it is read into memory.
constexpr std::uintmax_t kMaxImportBytes = 64u * 1024 * 1024;

constexpr std::string_view kGeneralHelp =
    R"(usbvantrel-reg: the registry tool of one USB Vantrel! machine root.

The machine root is the directory named by USBVANTREL_ROOT (default /var/lib/usbvantrel for
root, ~/.local/share/usbvantrel otherwise); its registry is <root>/registry.db. Anyone may read
it; changing it needs write access to that file.

Usage:
  usbvantrel-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  usbvantrel-reg query  KEY [/v NAME | /ve] [/s]
  usbvantrel-reg delete KEY [/v NAME | /ve | /va] [/f]
  usbvantrel-reg export KEY FILE [/y]
  usbvantrel-reg import FILE

  KEY   HKLM\SubKey or HKEY_LOCAL_MACHINE\SubKey (quote it: the shell eats "\"); HKLM\ or
        HKLM is HKEY_LOCAL_MACHINE itself
  TYPE  REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_LITTLE_ENDIAN,
        REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY or REG_NONE

Switches may start with "/" or "-"; /reg:32 and /reg:64 are accepted and change nothing (a
machine root has one view). "usbvantrel-reg VERB /?" (or /h, -h) describes one verb.
Exit status: 0 on success, 1 on failure; nothing is changed when the arguments are wrong.

Where this tool differs from the Windows one on purpose: output lines end in LF, not CRLF;
only HKEY_LOCAL_MACHINE exists; texts are UTF-8; import names on the error stream each line
it skips.
)";

constexpr std::string_view kAddHelp =
    R"(usbvantrel-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]

  Creates KEY (and its parents) and, with /v or /ve, sets a value in it. KEY alone also gets
  an empty REG_SZ default value unless it has one.
  /v NAME       the value to set
  /ve           the default (unnamed) value
  /t TYPE       REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
                REG_DWORD_LITTLE_ENDIAN, REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE
  /s SEPARATOR  one character separating the texts of REG_MULTI_SZ data (default "\0")
  /d DATA       the data: a text; a number for the DWORD and QWORD types (decimal or 0x hex,
                required); hex digits for REG_BINARY (e.g. 0aff10; "abc" is 0a bc)
  /f            overwrite an existing value without asking

Example: usbvantrel-reg add "HKLM\Software\Quorrel\USB Vantrel Client\Settings" /v BlockUSB /t REG_DWORD /d 1 /f
)";

constexpr std::string_view kQueryHelp = R"(usbvantrel-reg query KEY [/v NAME | /ve] [/s]

  Lists the values and subkeys of KEY (subkeys by name, without regard to case). Lines end
  in LF.
  /v NAME   only this value (with /s: every key below KEY that has it)
  /ve       only the default (unnamed) value
  /s        all subkeys and values below KEY, recursively
)";

constexpr std::string_view kDeleteHelp = R"(usbvantrel-reg delete KEY [/v NAME | /ve | /va] [/f]

  Deletes KEY with everything below it, or values in it.
  /v NAME   delete this value
  /ve       delete the default (unnamed) value
  /va       delete all values of KEY (its subkeys stay)
  /f        do not ask for confirmation
)";

constexpr std::string_view kExportHelp = R"(usbvantrel-reg export KEY FILE [/y]

  Writes KEY and everything below it to FILE as the registry editor saves it: "Windows
  Registry Editor Version 5.00", UTF-16LE with byte-order mark, CRLF, subkeys by name.
  /y   overwrite FILE without asking
)";

constexpr std::string_view kImportHelp = R"(usbvantrel-reg import FILE

  Applies a .reg file ("Windows Registry Editor Version 5.00" or REGEDIT4; UTF-16LE or UTF-8):
  [HKEY_LOCAL_MACHINE\...] sections with "name"="text", dword:, hex:, hex(N): values;
  [-KEY] deletes a key, "name"=- a value. Line by line: a line that cannot be read, or that
  names another root key, is skipped and named on the error stream; the rest is applied and
  the exit status is 0. A file whose first line is no header is refused whole.
)";

std::string Upper(std::string_view text) {
  return platform::ToUpperAscii(text);
}

using platform::EqualsNoCase;

std::string Trim(std::string_view text) {
  return std::string(platform::Trim(text, " \t\r"));
}

std::string DisplayPath(std::string_view path) {
  std::string display(kLocalMachine);
  if (!path.empty()) {
    display += '\\';
    display += path;
  }
  return display;
}

std::string DisplayName(std::string_view name) {
  return name.empty() ? std::string("(Default)") : std::string(name);
}

// Splits "HKLM\Sub\Key" into the path below HKEY_LOCAL_MACHINE; nullopt for other hives,
// remote names and malformed paths.
std::optional<std::string> ParseKeyArgument(std::string_view key) {
  const std::size_t slash = key.find('\\');
  const std::string_view hive = key.substr(0, slash);
  if (!EqualsNoCase(hive, "HKLM") && !EqualsNoCase(hive, kLocalMachine)) return std::nullopt;
  if (slash == std::string_view::npos) return std::string();
  std::string_view rest = key.substr(slash + 1);
  if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  // Every name between separators must exist and fit the registry's limit.
  std::size_t start = 0;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\\', start);
    const std::size_t length = (end == std::string_view::npos ? rest.size() : end) - start;
    if (length == 0 || length > 255) return std::nullopt;
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return std::string(rest);
}

// Switch name without its "/" or "-", lower-case; nullopt for a positional argument.
std::optional<std::string> SwitchName(std::string_view arg) {
  if (arg.size() < 2 || (arg.front() != '/' && arg.front() != '-')) return std::nullopt;
  std::string name(arg.substr(1));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> switches;  // name -> argument ("" for plain switches)
  bool Has(const std::string& name) const { return switches.count(name) != 0; }
  const std::string& Get(const std::string& name) const { return switches.at(name); }
};

// Parses the arguments after the verb. `allowed` maps each switch to whether it takes an
// argument. Only an argument naming an allowed switch is a switch: file names here are paths
// and may well start with "/". A repeated switch or a missing argument is a syntax error; an
// unknown switch ends up among the positional arguments, whose count the verb checks.
std::optional<Arguments> ParseArguments(const std::vector<std::string>& args,
                                        std::map<std::string, bool> allowed) {
  // Every verb takes the choice of a 32- or 64-bit view; a machine root has one view only.
  allowed.emplace("reg:32", false);
  allowed.emplace("reg:64", false);
  Arguments parsed;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto name = SwitchName(args[i]);
    if (!name || allowed.count(*name) == 0) {
      parsed.positional.push_back(args[i]);
      continue;
    }
    if (parsed.Has(*name)) return std::nullopt;
    std::string argument;
    if (allowed.at(*name)) {
      if (i + 1 >= args.size()) return std::nullopt;
      argument = args[++i];
    }
    parsed.switches.emplace(*name, std::move(argument));
  }
  if (parsed.Has("reg:32") && parsed.Has("reg:64")) return std::nullopt;
  return parsed;
}

// "/?", "-?", "/h" and "-h" in either case, and "--help".
bool IsHelp(std::string_view arg) {
  return arg == "/?" || arg == "-?" || arg == "--help" || EqualsNoCase(arg, "/h") ||
         EqualsNoCase(arg, "-h");
}

class Tool {
 public:
  Tool(const std::filesystem::path& root, std::istream& in, std::ostream& out, std::ostream& err)
      : machine_(root), in_(in), out_(out), err_(err) {}

  int Run(const std::vector<std::string>& args) {
    if (args.empty()) return SyntaxError("");
    const std::string verb = Upper(args[0]);
    if (args.size() == 1 && IsHelp(args[0])) {
      out_ << kGeneralHelp;
      return 0;
    }
    const bool help = args.size() == 2 && IsHelp(args[1]);
    if (verb == "ADD") return help ? Help(kAddHelp) : Add(args);
    if (verb == "QUERY") return help ? Help(kQueryHelp) : Query(args);
    if (verb == "DELETE") return help ? Help(kDeleteHelp) : Delete(args);
    if (verb == "EXPORT") return help ? Help(kExportHelp) : Export(args);
    if (verb == "IMPORT") return help ? Help(kImportHelp) : Import(args);
    return SyntaxError("");
  }

 private:
  int Help(std::string_view text) {
    out_ << text;
    return 0;
  }

  int SyntaxError(std::string_view verb) {
    err_ << "ERROR: Invalid syntax.\nType \"REG " << (verb.empty() ? "" : verb)
         << (verb.empty() ? "" : " ") << "/?\" for usage.\n";
    return 1;
  }

  int KeyNameError(std::string_view verb) {
    err_ << "ERROR: Invalid key name.\nType \"REG " << verb << " /?\" for usage.\n";
    return 1;
  }

  int Fail(std::string_view message) {
    err_ << message << "\n";
    return 1;
  }

  int FailWith(WinError error) {
    if (error == kErrorFileNotFound || error == kErrorKeyDeleted) return Fail(kNotFound);
    if (error == kErrorAccessDenied) return Fail(kAccessDenied);
    err_ << "ERROR: The registry operation failed (error " << error << ").\n";
    return 1;
  }

  int Succeed() {
    out_ << kSuccess << "\n";
    return 0;
  }

  int Cancel() {
    out_ << kCanceled << "\n";
    return 1;
  }

  // Asks a yes/no question; only an explicit yes agrees (no input at all is a no).
  bool Confirm(const std::string& question) {
    out_ << question << " " << std::flush;
    std::string answer;
    if (!std::getline(in_, answer)) {
      out_ << "\n";
      return false;
    }
    const std::string word = Upper(Trim(answer));
    return word == "Y" || word == "YES";
  }

  Registry* OpenRegistry() {
    auto registry = machine_.OpenRegistry();
    if (!registry) {
      err_ << "ERROR: " << machine_.RegistryError() << "\n";
      return nullptr;
    }
    return *registry;
  }

  // ----- add ---------------------------------------------------------------------------------

  static std::optional<RegType> ParseType(std::string_view name) {
    static const std::pair<std::string_view, RegType> kTypes[] = {
        {"REG_SZ", RegType::kSz},
        {"REG_EXPAND_SZ", RegType::kExpandSz},
        {"REG_MULTI_SZ", RegType::kMultiSz},
        {"REG_DWORD", RegType::kDword},
        {"REG_DWORD_LITTLE_ENDIAN", RegType::kDword},
        {"REG_DWORD_BIG_ENDIAN", RegType::kDwordBigEndian},
        {"REG_QWORD", RegType::kQword},
        {"REG_BINARY", RegType::kBinary},
        {"REG_NONE", RegType::kNone},
    };
    for (const auto& [text, type] : kTypes) {
      if (EqualsNoCase(name, text)) return type;
    }
    return std::nullopt;
  }

  // A number as /d gives it: decimal, or hex after "0x"; nullopt past `maxValue`.
  static std::optional<std::uint64_t> ParseNumber(std::string_view digits, std::uint64_t maxValue) {
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      base = 16;
      digits.remove_prefix(2);
    }
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    std::uint64_t number = 0;
    for (char c : digits) {
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return std::nullopt;
      if (number >
          (maxValue - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) {
        return std::nullopt;
      }
      number = number * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return number;
  }

  static std::optional<std::vector<std::uint8_t>> EncodeData(RegType type, const std::string& data,
                                                             bool hasData,
                                                             const std::string& separator) {
    std::vector<std::uint8_t> bytes;
    switch (type) {
      case RegType::kSz:
      case RegType::kExpandSz:
        bytes.assign(data.begin(), data.end());
        bytes.push_back(0);
        return bytes;
      case RegType::kNone:
        // Data given to REG_NONE is kept as a text, as the system's tool keeps it.
        if (hasData) {
          bytes.assign(data.begin(), data.end());
          bytes.push_back(0);
        }
        return bytes;
      case RegType::kMultiSz: {
        // The separator alone is one empty text.
        if (data == separator) return std::vector<std::uint8_t>{0, 0};
        std::vector<std::string> texts;
        std::size_t start = 0;
        while (start < data.size()) {
          std::size_t end = data.find(separator, start);
          if (end == std::string::npos) end = data.size();
          texts.push_back(data.substr(start, end - start));
          start = end == data.size() ? end : end + separator.size();
        }
        // One trailing separator is harmless; an empty text inside the list would end it early
        // for every reader, so it is refused.
        for (const std::string& text : texts) {
          if (text.empty()) return std::nullopt;
          bytes.insert(bytes.end(), text.begin(), text.end());
          bytes.push_back(0);
        }
        bytes.push_back(0);
        return bytes;
      }
      case RegType::kDword:
      case RegType::kDwordBigEndian:
      case RegType::kQword: {
        // A number needs its data: there is no sensible default.
        if (!hasData) return std::nullopt;
        const bool wide = type == RegType::kQword;
        const auto number = ParseNumber(data, wide ? ~0ull : 0xFFFFFFFFull);
        if (!number) return std::nullopt;
        const int count = wide ? 8 : 4;
        for (int i = 0; i < count; ++i) {
          const int shift = type == RegType::kDwordBigEndian ? 8 * (count - 1 - i) : 8 * i;
          bytes.push_back(static_cast<std::uint8_t>(*number >> shift));
        }
        return bytes;
      }
      case RegType::kBinary: {
        // An odd count of digits reads as if a leading zero were written.
        const std::string digits = data.size() % 2 != 0 ? "0" + data : data;
        for (std::size_t i = 0; i < digits.size(); i += 2) {
          int value = 0;
          for (std::size_t j = i; j < i + 2; ++j) {
            const char c = digits[j];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
          }
          bytes.push_back(static_cast<std::uint8_t>(value));
        }
        return bytes;
      }
      default:
        return std::nullopt;
    }
  }

  int Add(const std::vector<std::string>& args) {
    const auto parsed = ParseArguments(
        args, {{"v", true}, {"ve", false}, {"t", true}, {"s", true}, {"d", true}, {"f", false}});
    if (!parsed || parsed->positional.size() != 1) return SyntaxError("ADD");
    const auto path = ParseKeyArgument(parsed->positional[0]);
    if (!path) return KeyNameError("ADD");
    if (parsed->Has("v") && parsed->Has("ve")) return SyntaxError("ADD");
    RegType type = RegType::kSz;
    if (parsed->Has("t")) {
      const auto named = ParseType(parsed->Get("t"));
      if (!named) return SyntaxError("ADD");
      type = *named;
    }
    std::string separator = "\\0";
    if (parsed->Has("s")) {
      if (type != RegType::kMultiSz || parsed->Get("s").size() != 1) return SyntaxError("ADD");
      separator = parsed->Get("s");
    }
    const bool setsValue =
        parsed->Has("v") || parsed->Has("ve") || parsed->Has("t") || parsed->Has("d");
    const std::string name = parsed->Has("v") ? parsed->Get("v") : std::string();
    const auto encoded = EncodeData(type, parsed->Has("d") ? parsed->Get("d") : std::string(),
                                    parsed->Has("d"), separator);
    if (!encoded) return SyntaxError("ADD");

    Registry* registry = OpenRegistry();
    if (!registry) return 1;
    if (!registry->IsAdministrator()) return Fail(kAccessDenied);
    auto existing = RegKey::Open(*registry, *path);
    const bool hasValue = existing && existing->QueryValue(name);
    if (setsValue && hasValue && !parsed->Has("f")) {
      if (!Confirm("Value " + DisplayName(name) + " exists, overwrite(Yes/No)?")) return Cancel();
    }
    auto key = RegKey::Create(*registry, *path);
    if (!key) return FailWith(key.error());
    // A key added alone gets an empty default value, as the system's tool gives it; one that
    // already has a default value keeps it.
    if (setsValue || !hasValue) {
      const WinError error = key->SetValue(name, type, *encoded);
      if (error != kErrorSuccess) return FailWith(error);
    }
    return Succeed();
  }

  // ----- query -------------------------------------------------------------------------------

  void PrintValue(const std::string& name, const RegValue& value) {
    out_ << kIndent << DisplayName(name) << kIndent << RegTypeName(value.type) << kIndent
         << FormatRegData(value) << "\n";
  }

  std::vector<RegKey::NamedValue> AllValues(const RegKey& key) {
    std::vector<RegKey::NamedValue> values;
    for (std::uint32_t i = 0;; ++i) {
      auto value = key.EnumValue(i);
      if (!value) break;
      values.push_back(std::move(*value));
    }
    return values;
  }

  // Subkeys in the order the system enumerates them: by name, without regard to case. Our
  // registry enumerates in creation order for the programs; the listings and files this tool
  // writes follow the system's order instead.
  std::vector<std::string> AllSubKeys(const RegKey& key) {
    auto names = key.EnumKeys();
    if (!names) return {};
    std::sort(names->begin(), names->end(),
              [](const std::string& a, const std::string& b) { return Upper(a) < Upper(b); });
    return std::move(*names);
  }

  // The layout of a listing: a key's path, its values indented, a blank line after them; then
  // its subkeys, each as a full path (or, recursively, as a listing of its own). A key without
  // values shows no block of its own unless the listing is recursive, and then only its path.
  void ListKey(const RegKey& key, bool recursive) {
    const auto values = AllValues(key);
    const std::string path = DisplayPath(key.Path());
    if (!values.empty() || recursive) out_ << path << "\n";
    for (const auto& value : values) PrintValue(value.name, value.value);
    if (!values.empty()) out_ << "\n";
    for (const std::string& name : AllSubKeys(key)) {
      if (!recursive) {
        out_ << path << "\\" << name << "\n";
        continue;
      }
      auto sub = key.OpenSubKey(name);
      if (sub) ListKey(*sub, true);
    }
  }

  // Every key at or below `key` holding the value `name`, each printed as a block.
  std::size_t SearchValue(const RegKey& key, const std::string& name) {
    std::size_t matches = 0;
    auto value = key.QueryValue(name);
    if (value) {
      out_ << DisplayPath(key.Path()) << "\n";
      PrintValue(name, *value);
      out_ << "\n";
      ++matches;
    }
    for (const std::string& sub : AllSubKeys(key)) {
      auto child = key.OpenSubKey(sub);
      if (child) matches += SearchValue(*child, name);
    }
    return matches;
  }

  int Query(const std::vector<std::string>& args) {
    const auto parsed = ParseArguments(args, {{"v", true}, {"ve", false}, {"s", false}});
    if (!parsed || parsed->positional.size() != 1) return SyntaxError("QUERY");
    const auto path = ParseKeyArgument(parsed->positional[0]);
    if (!path) return KeyNameError("QUERY");
    if (parsed->Has("v") && parsed->Has("ve")) return SyntaxError("QUERY");
    Registry* registry = OpenRegistry();
    if (!registry) return 1;
    auto key = RegKey::Open(*registry, *path);
    if (!key) return FailWith(key.error());

    const bool recursive = parsed->Has("s");
    if (parsed->Has("v") || parsed->Has("ve")) {
      const std::string name = parsed->Has("v") ? parsed->Get("v") : std::string();
      if (recursive) {
        out_ << "\n";
        const std::size_t matches = SearchValue(*key, name);
        out_ << "End of search: " << matches << " match(es) found.\n";
        return 0;
      }
      auto value = key->QueryValue(name);
      if (!value && !(parsed->Has("ve") && value.error() == kErrorFileNotFound)) {
        return FailWith(value.error());
      }
      out_ << "\n" << DisplayPath(key->Path()) << "\n";
      if (value) {
        PrintValue(name, *value);
      } else {
        out_ << kIndent << "(Default)" << kIndent << "REG_SZ" << kIndent << "(value not set)\n";
      }
      out_ << "\n";
      return 0;
    }
    out_ << "\n";
    ListKey(*key, recursive);
    return 0;
  }

  // ----- delete ------------------------------------------------------------------------------

  int Delete(const std::vector<std::string>& args) {
    const auto parsed =
        ParseArguments(args, {{"v", true}, {"ve", false}, {"va", false}, {"f", false}});
    if (!parsed || parsed->positional.size() != 1) return SyntaxError("DELETE");
    const auto path = ParseKeyArgument(parsed->positional[0]);
    if (!path) return KeyNameError("DELETE");
    const int chosen = parsed->Has("v") + parsed->Has("ve") + parsed->Has("va");
    if (chosen > 1) return SyntaxError("DELETE");
    // HKEY_LOCAL_MACHINE itself cannot go.
    if (chosen == 0 && path->empty()) return KeyNameError("DELETE");
    const bool force = parsed->Has("f");

    Registry* registry = OpenRegistry();
    if (!registry) return 1;
    auto key = RegKey::Open(*registry, *path);
    if (!key) return FailWith(key.error());
    if (!registry->IsAdministrator()) return Fail(kAccessDenied);
    const std::string display = DisplayPath(key->Path());

    if (parsed->Has("va")) {
      if (!force &&
          !Confirm("Delete all values under the registry key " + display + " (Yes/No)?")) {
        return Cancel();
      }
      auto writable = RegKey::Open(*registry, *path, RegAccess::kAll);
      if (!writable) return FailWith(writable.error());
      for (const auto& value : AllValues(*writable)) {
        const WinError error = writable->DeleteValue(value.name);
        if (error != kErrorSuccess && error != kErrorFileNotFound) return FailWith(error);
      }
      return Succeed();
    }
    if (chosen == 1) {
      const std::string name = parsed->Has("v") ? parsed->Get("v") : std::string();
      auto value = key->QueryValue(name);
      if (!value) return FailWith(value.error());
      if (!force && !Confirm("Delete the registry value " + DisplayName(name) + " (Yes/No)?")) {
        return Cancel();
      }
      auto writable = RegKey::Open(*registry, *path, RegAccess::kAll);
      if (!writable) return FailWith(writable.error());
      const WinError error = writable->DeleteValue(name);
      return error == kErrorSuccess ? Succeed() : FailWith(error);
    }
    if (!force && !Confirm("Permanently delete the registry key " + display + " (Yes/No)?")) {
      return Cancel();
    }
    auto hklm = RegKey::Open(*registry, "", RegAccess::kAll);
    if (!hklm) return FailWith(hklm.error());
    const WinError error = hklm->DeleteTree(key->Path());
    return error == kErrorSuccess ? Succeed() : FailWith(error);
  }

  // ----- export / import ---------------------------------------------------------------------

  void ExportKey(const RegKey& key, std::string& text) {
    AppendRegFileKey(text, key.Path(), AllValues(key));
    for (const std::string& name : AllSubKeys(key)) {
      auto sub = key.OpenSubKey(name);
      if (sub) ExportKey(*sub, text);
    }
  }

  // Written beside the target and renamed over it, so a failed export never leaves half a
  // file in place of a good one.
  static bool WriteFileAtomically(const std::filesystem::path& file, const std::string& text) {
    return platform::WriteFileAtomically(file, text) == kErrorSuccess;
  }

  int Export(const std::vector<std::string>& args) {
    const auto parsed = ParseArguments(args, {{"y", false}});
    if (!parsed || parsed->positional.size() != 2) return SyntaxError("EXPORT");
    const auto path = ParseKeyArgument(parsed->positional[0]);
    if (!path) return KeyNameError("EXPORT");
    const std::filesystem::path file = parsed->positional[1];
    Registry* registry = OpenRegistry();
    if (!registry) return 1;
    auto key = RegKey::Open(*registry, *path);
    if (!key) return FailWith(key.error());
    std::error_code ec;
    if (std::filesystem::exists(file, ec) && !parsed->Has("y")) {
      if (!Confirm("File " + file.string() + " already exists. Overwrite(Yes/No)?")) {
        return Cancel();
      }
    }
    std::string text(kRegFileHeader);
    text += "\r\n\r\n";
    ExportKey(*key, text);
    if (!WriteFileAtomically(file, EncodeRegFile(text))) return Fail(kFileError);
    return Succeed();
  }

  // Applies what can be read and says on the error stream which lines were left out (the
  // system's tool leaves them out silently); only a file that is no registry file is refused.
  int Import(const std::vector<std::string>& args) {
    const auto parsed = ParseArguments(args, {});
    if (!parsed || parsed->positional.size() != 1) return SyntaxError("IMPORT");
    const std::filesystem::path file = parsed->positional[0];
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return Fail(kFileError);
    if (size > kMaxImportBytes) {
      err_ << "ERROR: " << file.string() << ": the file is too large to be a registry file.\n";
      return 1;
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return Fail(kFileError);
    const std::string content((std::istreambuf_iterator<char>(stream)), {});
    const RegFileParse contents = ParseRegFile(content);
    if (!contents.ok) {
      err_ << "ERROR: " << file.string() << ", line " << contents.errorLine << ": "
           << contents.error << ". Nothing was imported.\n";
      return 1;
    }
    Registry* registry = OpenRegistry();
    if (!registry) return 1;
    if (!registry->IsAdministrator()) return Fail(kAccessDenied);
    for (const RegFileSkip& skip : contents.skipped) {
      err_ << "WARNING: " << file.string() << ", line " << skip.line << " skipped: " << skip.why
           << ".\n";
    }
    auto hklm = RegKey::Open(*registry, "", RegAccess::kAll);
    if (!hklm) return FailWith(hklm.error());
    for (const RegFileKey& entry : contents.keys) {
      if (entry.remove) {
        if (entry.path.empty()) continue;  // HKEY_LOCAL_MACHINE itself stays
        const WinError error = hklm->DeleteTree(entry.path);
        if (error != kErrorSuccess && error != kErrorFileNotFound) return FailWith(error);
        continue;
      }
      auto key = RegKey::Create(*registry, entry.path);
      if (!key) return FailWith(key.error());
      for (const RegFileValue& value : entry.values) {
        const WinError error = value.remove
                                   ? key->DeleteValue(value.name)
                                   : key->SetValue(value.name, value.value.type, value.value.data);
        if (error != kErrorSuccess && !(value.remove && error == kErrorFileNotFound)) {
          return FailWith(error);
        }
      }
    }
    return Succeed();
  }

  Machine machine_;
  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

int RunRegTool(const std::vector<std::string>& args, const std::filesystem::path& machineRoot,
               std::istream& in, std::ostream& out, std::ostream& err) {
  Tool tool(machineRoot, in, out, err);
  return tool.Run(args);
}

}  // namespace uv::tools
