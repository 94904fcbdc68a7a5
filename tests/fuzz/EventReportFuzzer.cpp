// The console's and the journal viewer's reading of event reports, on arbitrary datagrams and
// journal lines. Every field must be a view into the input; the replay marker and the log line
// must keep every byte of the text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/EventCategory.h"
#include "protocol/EventPort.h"
#include "protocol/EventReport.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using namespace uv::protocol;

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void CheckFields(const EventFields& fields, std::string_view text) {
  for (const std::string_view field :
       {fields.date, fields.time, fields.computerUser, fields.address, fields.message}) {
    UV_FUZZ_CHECK(Inside(field, text));
    UV_FUZZ_CHECK(field.find(',') == std::string_view::npos);
  }
  UV_FUZZ_CHECK(fields.category == kOfflineWord || Inside(fields.category, text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  (void)ClassifyEventPortDatagram(datagram);
  (void)IsProbeAnswer(datagram);
  const std::string_view text = EventTextOfDatagram(datagram);
  UV_FUZZ_CHECK(text.size() <= kMaxEventText);

  const VersionSplit split = SplitVersion(text, "VERSION=1 6 0 0");
  UV_FUZZ_CHECK(Inside(split.text, text));
  CheckFields(ParseReportBody(split.text), text);
  CheckFields(ParseJournalLine(text), text);
  if (const auto balloon = BalloonTextOf(text)) UV_FUZZ_CHECK(Inside(*balloon, text));
  UV_FUZZ_CHECK(Inside(LogCategoryOf(text), text));
  (void)CategoriesContainedIn(text);

  std::string line;
  BuildLogLine(line, text);
  UV_FUZZ_CHECK(line.size() >= text.size());

  std::string replay(text);
  StripLineBreaks(replay);
  const std::size_t stripped = replay.size();
  InsertOfflineMarker(replay);
  UV_FUZZ_CHECK(replay.size() == stripped + kOfflineMarker.size());
  UV_FUZZ_CHECK(replay.find(kOfflineMarker) != std::string::npos);

  const RunExeSetting setting = ParseRunExeSetting(text);
  UV_FUZZ_CHECK(Inside(setting.word, text) && Inside(setting.command, text));
  return 0;
}
