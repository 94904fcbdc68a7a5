#include "server/app/EventRules.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "protocol/EventReport.h"
#include "protocol/FieldTokenizer.h"

namespace uv::server {

namespace {

bool Contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}

// The contains rule, without searching the text for the fifteen words when the outlet lets every
// one of them through (the settings' default): a flood then costs no text search per outlet.
bool PassesContains(std::string_view text, Outlet outlet, const FilterWords& words) {
  // The answer for every outlet, kept for the words last asked about (they change only when the
  // administrator applies new filters).
  thread_local std::optional<FilterWords> known;
  thread_local std::array<bool, kOutletCount> allPass{};
  if (known != words) {
    for (std::size_t o = 0; o < allPass.size(); ++o) {
      allPass[o] =
          std::all_of(kCategoryFilters.begin(), kCategoryFilters.end(),
                      [&](const CategoryFilter& entry) { return IsBitSet(words, entry.bits[o]); });
    }
    known = words;
  }
  return allPass[static_cast<std::size_t>(outlet)] || PassesContainsRule(text, outlet, words);
}

}  // namespace

std::vector<std::string_view> Tokenize(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && text[pos] == separator) ++pos;
    if (pos >= text.size()) break;
    const std::size_t end = text.find(separator, pos);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    fields.push_back(text.substr(pos, stop - pos));
    pos = stop;
  }
  return fields;
}

std::string_view FirstWord(std::string_view text) {
  const std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  const std::size_t end = text.find(' ', start);
  return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

int SplitVersion(std::string& text, std::string_view ownVersion) {
  const protocol::VersionSplit split = protocol::SplitVersion(text, ownVersion);
  std::string rest(split.text);  // a view into text: copy before replacing
  text = std::move(rest);
  return split.mismatch ? 1 : 0;
}

std::string AlertText(std::string_view eventText, std::string_view senderAddress) {
  std::string alert;
  alert.reserve(eventText.size() + senderAddress.size() + 5);
  alert.append(eventText).append(" [ ").append(senderAddress).append(" ]");
  return alert;
}

std::string AppendArrivalTime(std::string_view alertText, int hour, int minute, int second) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " at %02d:%02d:%02d", hour, minute, second);
  std::string full(alertText);
  full += suffix;
  return full;
}

EventRow HistoryRowTexts::ToRow() const {
  EventRow row;
  row.date = date;
  row.time = time;
  row.computerUser = computerUser;
  row.address = address;
  row.message = message;
  row.category = category;
  return row;
}

std::optional<HistoryRowTexts> HistoryRowTextsOf(std::string_view fullText, int versionFlag,
                                                 std::string_view senderAddress,
                                                 const FilterWords& words) {
  HistoryRowTexts row;
  if (versionFlag != 0) {
    // A mismatch is always listed: the report's fields cannot be trusted, only its source.
    row.address = senderAddress;
    row.message = kVersionMismatch;
    return row;
  }
  protocol::FieldTokenizer fields(fullText, ',');
  row.date = fields.Next();
  row.time = fields.Next();
  row.computerUser = fields.Next();
  row.address = fields.Next();
  row.message = fields.Next();
  if (row.message == "Offline") {
    row.message = fields.Next();
    row.category = "Offline";
  } else {
    row.category = FirstWord(row.message);
  }
  if (!PassesExactRule(row.category, Outlet::kHistory, words)) return std::nullopt;
  return row;
}

std::optional<EventRow> BuildHistoryRow(std::string_view fullText, int versionFlag,
                                        std::string_view senderAddress, const FilterWords& words) {
  const auto texts = HistoryRowTextsOf(fullText, versionFlag, senderAddress, words);
  if (!texts) return std::nullopt;
  return texts->ToRow();
}

std::optional<std::string_view> BalloonTextView(std::string_view alertText, int versionFlag,
                                                std::string_view senderAddress,
                                                const FilterWords& words, std::string& scratch) {
  if (versionFlag != 0) {
    scratch.assign("Client Version does not match on ").append(senderAddress);
    return std::string_view(scratch);
  }
  if (!PassesContains(alertText, Outlet::kBalloon, words)) return std::nullopt;
  // A short report has no message field; show what arrived rather than nothing.
  return protocol::BalloonTextOf(alertText).value_or(alertText);
}

std::optional<std::string> BalloonText(std::string_view alertText, int versionFlag,
                                       std::string_view senderAddress, const FilterWords& words) {
  std::string scratch;
  const auto text = BalloonTextView(alertText, versionFlag, senderAddress, words, scratch);
  if (!text) return std::nullopt;
  return std::string(*text);
}

bool ShouldPlaySound(std::string_view alertText) {
  return Contains(alertText, "Inserted") || Contains(alertText, "Removed") ||
         Contains(alertText, "Mounted");
}

bool AppendLogEntry(std::string& out, std::string_view fullText, int versionFlag,
                    std::string_view senderAddress, const FilterWords& words) {
  if (versionFlag != 0) {
    out.append(",,,").append(senderAddress).append(",,").append(kVersionMismatch);
  } else {
    if (!PassesContains(fullText, Outlet::kLog, words)) return false;
    if (Contains(fullText, "Offline")) {
      out.append(fullText);
    } else {
      // The category goes after the last "," (the message field when the message has no comma).
      const std::size_t comma = fullText.rfind(',');
      const std::size_t insertAt = comma == std::string_view::npos ? 0 : comma + 1;
      const std::string_view tail = fullText.substr(insertAt);
      out.append(fullText.substr(0, insertAt)).append(FirstWord(tail)).append(1, ',').append(tail);
    }
  }
  out += "\r\n";
  return true;
}

std::optional<std::string> BuildLogLine(std::string_view fullText, int versionFlag,
                                        std::string_view senderAddress, const FilterWords& words) {
  std::string line;
  if (!AppendLogEntry(line, fullText, versionFlag, senderAddress, words)) return std::nullopt;
  return line;
}

bool ShouldMail(std::string_view fullText, int versionFlag, const FilterWords& words) {
  return versionFlag != 0 || PassesContains(fullText, Outlet::kEmail, words);
}

std::string BuildMailBody(std::string_view fullText, int versionFlag,
                          std::string_view senderAddress) {
  std::string body;
  // Event fields come from the network. A CR or LF in one would start a line of its own in the
  // message, and "\r\n.\r\n" would end the DATA early and let the sender talk SMTP to our
  // server: each becomes a blank, so every body line still starts with its label.
  const auto clean = [](std::string_view field) {
    std::string text(field);
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
  };
  if (versionFlag != 0) {
    body.append("Date:\nTime:\nComputer Name:\\User\nIP Address:")
        .append(clean(senderAddress))
        .append("\nCategory:\nMessage:")
        .append(kVersionMismatch);
  } else {
    const auto fields = Tokenize(fullText, ',');
    auto field = [&](std::size_t i) {
      return i < fields.size() ? clean(fields[i]) : std::string();
    };
    body.append("Date:").append(field(0));
    body.append("\nTime:").append(field(1));
    body.append("\nComputer Name\\User:").append(field(2));
    body.append("\nIP Address:").append(field(3));
    const std::string fifth = field(4);
    if (Contains(fifth, "Offline")) {
      body.append("\nCategory:Offline\nMessage:").append(field(5));
    } else {
      body.append("\nCategory:").append(FirstWord(fifth)).append("\nMessage:").append(fifth);
    }
  }
  body += "\r\n";
  return body;
}

}  // namespace uv::server
