#include "platform/eventlog/EventLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/UniqueFd.h"
#include "platform/registry/Registry.h"

namespace uv::platform {
namespace {

constexpr struct {
  EventType type;
  std::string_view name;
} kTypeNames[] = {
    {EventType::kError, "Error"},
    {EventType::kWarning, "Warning"},
    {EventType::kInformation, "Information"},
    {EventType::kAuditSuccess, "Audit Success"},
    {EventType::kAuditFailure, "Audit Failure"},
};

// The log file is created when missing, so ENOENT means a missing folder.
WinError FromErrno(int error) {
  return error == ENOENT ? kErrorPathNotFound : ErrnoToWinError(error);
}

void AppendEscaped(std::string& out, std::string_view field) {
  for (char c : field) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

bool Unescape(std::string_view field, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c != '\\') {
      *out += c;
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case '\\':
        *out += '\\';
        break;
      case 't':
        *out += '\t';
        break;
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

std::string LocalTimeText() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

}  // namespace

std::string_view EventTypeName(EventType type) {
  for (const auto& entry : kTypeNames) {
    if (entry.type == type) return entry.name;
  }
  return "Unknown";
}

std::string FormatEventLine(const EventRecord& record) {
  std::string line;
  line.reserve(64 + record.source.size());
  AppendEscaped(line, record.time);
  line += '\t';
  line += EventTypeName(record.type);
  char id[16];
  std::snprintf(id, sizeof id, "\t0x%08X\t", static_cast<unsigned>(record.id));
  line += id;
  AppendEscaped(line, record.source);
  for (const auto& text : record.strings) {
    line += '\t';
    AppendEscaped(line, text);
  }
  line += '\n';
  return line;
}

bool ParseEventLine(std::string_view line, EventRecord* record) {
  if (line.empty() || line.back() != '\n') return false;
  line.remove_suffix(1);
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  if (fields.size() < 4) return false;
  EventRecord parsed;
  if (!Unescape(fields[0], &parsed.time)) return false;
  bool known = false;
  for (const auto& entry : kTypeNames) {
    if (entry.name == fields[1]) {
      parsed.type = entry.type;
      known = true;
    }
  }
  if (!known) return false;
  std::string_view id = fields[2];
  if (id.size() != 10 || id.substr(0, 2) != "0x") return false;
  auto [end, error] = std::from_chars(id.data() + 2, id.data() + id.size(), parsed.id, 16);
  if (error != std::errc() || end != id.data() + id.size()) return false;
  if (!Unescape(fields[3], &parsed.source)) return false;
  for (std::size_t i = 4; i < fields.size(); ++i) {
    std::string text;
    if (!Unescape(fields[i], &text)) return false;
    parsed.strings.push_back(std::move(text));
  }
  *record = std::move(parsed);
  return true;
}

WinError ReportEvent(const Machine& machine, EventType type, std::uint32_t id,
                     std::string_view source, const std::vector<std::string>& strings) {
  EventRecord record{LocalTimeText(), type, id, std::string(source), strings};
  const std::string line = FormatEventLine(record);
  const std::string path = machine.EventLogFile().string();

  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return FromErrno(errno);
  // The lock makes the line's bytes one unit for every writer of this file, also in other
  // processes; O_APPEND alone does not promise that for long lines or after a partial write.
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return FromErrno(errno);
  }
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return FromErrno(errno);

  std::size_t written = 0;
  while (written < line.size()) {
    ssize_t n = ::write(fd.get(), line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : ENOSPC;
      // A torn line would merge with the next event; cut the file back to where it was.
      if (::ftruncate(fd.get(), before.st_size) != 0) {
        // Nothing more can be done; the reader skips the damaged line.
      }
      return FromErrno(error);
    }
    written += static_cast<std::size_t>(n);
  }
  return kErrorSuccess;  // the lock goes with the descriptor
}

Result<std::vector<EventRecord>> ReadEventLog(const Machine& machine, std::size_t* skipped) {
  if (skipped) *skipped = 0;
  std::vector<EventRecord> events;
  const std::filesystem::path path = machine.EventLogFile();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return events;
  if (!std::filesystem::is_regular_file(path, error)) {
    return Result<std::vector<EventRecord>>::Failure(kErrorInvalidData);
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Result<std::vector<EventRecord>>::Failure(kErrorAccessDenied);
  std::string line;
  while (std::getline(in, line)) {
    EventRecord record;
    // getline drops the "\n"; a last line without one was cut off and is not an event.
    if (!in.eof()) line += '\n';
    if (ParseEventLine(line, &record)) {
      events.push_back(std::move(record));
    } else if (skipped) {
      ++*skipped;
    }
  }
  if (in.bad()) return Result<std::vector<EventRecord>>::Failure(kErrorInvalidData);
  return events;
}

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IsValidSourceName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name.find('\\') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::string LogKeyPath(std::string_view logName) {
  return std::string(kEventLogKey) + "\\" + std::string(logName);
}

}  // namespace

WinError RegisterEventSource(Machine& machine, std::string_view logName,
                             std::string_view sourceName, std::string_view messageFile,
                             std::uint32_t typesSupported) {
  if (!IsValidSourceName(logName) || !IsValidSourceName(sourceName)) return kErrorInvalidName;
  auto registry = machine.OpenRegistry();
  if (!registry) return registry.error();
  auto logKey = RegKey::Create(**registry, LogKeyPath(logName));
  if (!logKey) return logKey.error();
  auto sourceKey = logKey->CreateSubKey(sourceName);
  if (!sourceKey) return sourceKey.error();
  if (WinError e = sourceKey->SetString("EventMessageFile", messageFile); e != kErrorSuccess) {
    return e;
  }
  if (WinError e = sourceKey->SetDword("TypesSupported", typesSupported); e != kErrorSuccess) {
    return e;
  }
  // A "Sources" of another type (edited by hand) is replaced rather than trusted.
  std::vector<std::string> sources = logKey->QueryMultiString("Sources").value_or({});
  for (const auto& name : sources) {
    if (SameName(name, sourceName)) return kErrorSuccess;
  }
  sources.emplace_back(sourceName);
  return logKey->SetMultiString("Sources", sources);
}

WinError RemoveEventSource(Machine& machine, std::string_view logName,
                           std::string_view sourceName) {
  if (!IsValidSourceName(logName) || !IsValidSourceName(sourceName)) return kErrorInvalidName;
  auto registry = machine.OpenRegistry();
  if (!registry) return registry.error();
  auto logKey = RegKey::Open(**registry, LogKeyPath(logName), RegAccess::kWrite);
  if (!logKey) return logKey.error() == kErrorFileNotFound ? kErrorSuccess : logKey.error();
  if (WinError e = logKey->DeleteTree(sourceName); e != kErrorSuccess && e != kErrorFileNotFound) {
    return e;
  }
  auto sources = logKey->QueryMultiString("Sources");
  if (!sources) return kErrorSuccess;
  std::vector<std::string> kept;
  for (auto& name : *sources) {
    if (!SameName(name, sourceName)) kept.push_back(std::move(name));
  }
  if (kept.size() == sources->size()) return kErrorSuccess;
  return logKey->SetMultiString("Sources", kept);
}

std::vector<std::string> EventSources(Machine& machine, std::string_view logName) {
  auto registry = machine.OpenRegistry();
  if (!registry) return {};
  auto logKey = RegKey::Open(**registry, LogKeyPath(logName));
  if (!logKey) return {};
  return logKey->QueryMultiString("Sources").value_or({});
}

}  // namespace uv::platform
