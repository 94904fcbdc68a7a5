// The parsers of this computer's own text files that a user or another program may have written:
// the hosts file, the session store and the event log. Each must take any bytes without
// overrunning, and what it accepts must survive a write-and-read-back unchanged.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/eventlog/EventLog.h"
#include "platform/net/HostResolver.h"
#include "platform/session/SessionStore.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using namespace uv::platform;

void CheckHosts(std::string_view text) {
  // Look up the first word of the input and a fixed name; any answer must be a real address.
  const std::string_view firstWord = text.substr(0, text.find_first_of(" \t\r\n"));
  for (const std::string_view name : {firstWord, std::string_view("pc17")}) {
    if (const auto address = LookupHostsText(text, name)) {
      UV_FUZZ_CHECK(!address->ToString().empty());
    }
  }
}

void CheckSessions(std::string_view text) {
  const auto sessions = SessionStore::ParseSessions(text);
  const std::string written = SessionStore::FormatSessions(sessions);
  UV_FUZZ_CHECK(SessionStore::ParseSessions(written) == sessions);
}

void CheckEventLine(std::string_view line) {
  EventRecord record;
  if (!ParseEventLine(line, &record)) return;
  EventRecord again;
  UV_FUZZ_CHECK(ParseEventLine(FormatEventLine(record), &again));
  UV_FUZZ_CHECK(again.time == record.time && again.type == record.type && again.id == record.id &&
                again.source == record.source && again.strings == record.strings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckHosts(text);
  CheckSessions(text);
  const std::size_t lineEnd = text.find('\n');
  CheckEventLine(lineEnd == std::string_view::npos ? text : text.substr(0, lineEnd + 1));
  return 0;
}
