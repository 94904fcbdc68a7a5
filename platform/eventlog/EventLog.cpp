#include "platform/eventlog/EventLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"

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

  if (const int error = WriteAll(fd.get(), line); error != 0) {
    // A torn line would merge with the next event; cut the file back to where it was.
    if (::ftruncate(fd.get(), before.st_size) != 0) {
      // Nothing more can be done; the reader skips the damaged line.
    }
    return FromErrno(error);
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

}  // namespace uv::platform
