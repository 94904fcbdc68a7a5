#include "protocol/EventReport.h"

#include <charconv>
#include <cstdint>

#include "protocol/FieldTokenizer.h"

namespace uv::protocol {

namespace {

// Two digits cover every valid day, month, hour, minute and second; the general path below is
// only for values a broken clock could give.
inline void AppendTwoDigits(std::string& out, int value) {
  if (value >= 0 && value < 100) {
    const char digits[2] = {static_cast<char>('0' + value / 10),
                            static_cast<char>('0' + value % 10)};
    out.append(digits, 2);
  } else {
    AppendZeroPadded(out, value, 2);
  }
}

inline void AppendFourDigits(std::string& out, int value) {
  if (value >= 0 && value < 10000) {
    const char digits[4] = {
        static_cast<char>('0' + value / 1000), static_cast<char>('0' + value / 100 % 10),
        static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
    out.append(digits, 4);
  } else {
    AppendZeroPadded(out, value, 4);
  }
}

void AppendBody(std::string& out, const ReportFields& fields) {
  AppendReportDateTime(out, fields.time);
  out.append(fields.computer);
  out.push_back('\\');
  out.append(fields.user);
  out.push_back(',');
  out.append(fields.address);
  out.push_back(',');
  out.append(fields.message);
}

std::size_t BodySize(const ReportFields& fields) {
  // "DD/MM/YYYY,HH:MM:SS," is 20 characters for every valid time.
  return 20 + fields.computer.size() + 1 + fields.user.size() + 1 + fields.address.size() + 1 +
         fields.message.size();
}

}  // namespace

void AppendZeroPadded(std::string& out, int value, int width) {
  // The magnitude as unsigned, so that INT_MIN has one too.
  const bool negative = value < 0;
  const std::uint32_t magnitude =
      negative ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  char digits[16];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, magnitude);
  (void)ec;  // ten digits always fit
  const int count = static_cast<int>(end - digits);
  if (negative) out.push_back('-');
  // printf counts the sign in the width and pads with zeros after it.
  for (int pad = width - count - (negative ? 1 : 0); pad > 0; --pad) out.push_back('0');
  out.append(digits, end);
}

void AppendReportDateTime(std::string& out, const ReportTime& time) {
  AppendTwoDigits(out, time.day);
  out.push_back('/');
  AppendTwoDigits(out, time.month);
  out.push_back('/');
  AppendFourDigits(out, time.year);
  out.push_back(',');
  AppendTwoDigits(out, time.hour);
  out.push_back(':');
  AppendTwoDigits(out, time.minute);
  out.push_back(':');
  AppendTwoDigits(out, time.second);
  out.push_back(',');
}

void EventReport::Build(const ReportFields& fields) {
  text_.clear();
  text_.reserve(fields.version.size() + 1 + BodySize(fields));
  text_.append(fields.version);
  text_.push_back(',');
  bodyOffset_ = text_.size();
  AppendBody(text_, fields);
}

std::string BuildEventReport(const ReportFields& fields) {
  EventReport report;
  report.Build(fields);
  return std::string(report.text());
}

std::string BuildReportBody(const ReportFields& fields) {
  std::string body;
  body.reserve(BodySize(fields));
  AppendBody(body, fields);
  return body;
}

void InsertOfflineMarker(std::string& line) {
  const std::size_t comma = line.rfind(',');
  line.insert(comma == std::string::npos ? 0 : comma + 1, kOfflineMarker);
}

std::string WithOfflineMarker(std::string_view line) {
  std::string result;
  result.reserve(line.size() + kOfflineMarker.size());
  const std::size_t comma = line.rfind(',');
  const std::size_t at = comma == std::string_view::npos ? 0 : comma + 1;
  result.append(line.substr(0, at));
  result.append(kOfflineMarker);
  result.append(line.substr(at));
  return result;
}

void StripLineBreaks(std::string& line) {
  std::erase_if(line, [](char c) { return c == '\r' || c == '\n'; });
}

std::string_view FirstWordOf(std::string_view message) {
  FieldTokenizer words(message, ' ');
  return words.Next();
}

std::string_view CategoryWordOfReport(std::string_view body) {
  return ParseReportBody(body).category;
}

VersionSplit SplitVersion(std::string_view report, std::string_view ownVersion) {
  FieldTokenizer fields(report, ',');
  const std::string_view first = fields.Next();
  if (!first.empty() && first == ownVersion) return {false, fields.Rest()};
  if (first.find("VERSION=") != std::string_view::npos) return {true, fields.Rest()};
  return {true, report};
}

EventFields ParseReportBody(std::string_view body) {
  FieldTokenizer fields(body, ',');
  EventFields result;
  result.date = fields.Next();
  result.time = fields.Next();
  result.computerUser = fields.Next();
  result.address = fields.Next();
  result.message = fields.Next();
  if (result.message == kOfflineWord) {
    result.message = fields.Next();
    result.category = kOfflineWord;
  } else {
    result.category = FirstWordOf(result.message);
  }
  return result;
}

EventFields ParseJournalLine(std::string_view line) {
  FieldTokenizer fields(line, ',');
  (void)fields.Next();  // the version field
  EventFields result;
  result.date = fields.Next();
  result.time = fields.Next();
  result.computerUser = fields.Next();
  result.address = fields.Next();
  result.message = fields.Next();
  result.category = FirstWordOf(result.message);
  return result;
}

std::optional<std::string_view> BalloonTextOf(std::string_view alertText) {
  FieldTokenizer fields(alertText, ',');
  std::string_view field;
  for (int i = 0; i < 5; ++i) {
    field = fields.Next();
    if (field.empty()) return std::nullopt;
  }
  if (field == kOfflineWord) {
    field = fields.Next();
    if (field.empty()) return std::nullopt;
  }
  return field;
}

std::string_view LogCategoryOf(std::string_view text) {
  const std::size_t comma = text.rfind(',');
  return FirstWordOf(comma == std::string_view::npos ? text : text.substr(comma + 1));
}

void BuildLogLine(std::string& out, std::string_view fullText) {
  out.clear();
  if (fullText.find(kOfflineWord) != std::string_view::npos) {
    out.append(fullText);
    return;
  }
  const std::string_view category = LogCategoryOf(fullText);
  const std::size_t comma = fullText.rfind(',');
  const std::size_t at = comma == std::string_view::npos ? 0 : comma + 1;
  out.reserve(fullText.size() + category.size() + 1);
  out.append(fullText.substr(0, at));
  out.append(category);
  out.push_back(',');
  out.append(fullText.substr(at));
}

void BuildVersionMismatchLogLine(std::string& out, std::string_view senderAddress) {
  out.assign(",,,");
  out.append(senderAddress);
  out.append(",,");
  out.append(kVersionMismatchMessage);
}

}  // namespace uv::protocol
