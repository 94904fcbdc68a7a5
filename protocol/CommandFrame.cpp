#include "protocol/CommandFrame.h"

#include <charconv>
#include <limits>

#include "protocol/FieldTokenizer.h"

namespace uv::protocol {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void AppendDecimal(std::string& out, int value) {
  char digits[16];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // an int always fits
  out.append(digits, end);
}

// "%4d": right-aligned in four characters, wider when it needs more.
void AppendLengthField(std::string& out, int length) {
  char digits[16];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, length);
  (void)ec;
  for (auto width = end - digits; width < 4; ++width) out.push_back(' ');
  out.append(digits, end);
}

std::string FixedFrameWithZeros(std::string_view text) {
  std::string frame(text);
  frame.append(2, '\0');
  return frame;
}

std::string ValueReply(std::string_view word, std::byte value) {
  std::string reply;
  AppendLengthField(reply, 5);
  reply.append(word);
  reply.push_back(';');
  reply.push_back(static_cast<char>(value));
  return reply;
}

// The smallest L a frame of this word can have at this end: the word and ";" (4), or one more
// when the frame carries an argument or a value.
int MinLength(std::optional<CommandWord> word, FrameRole role) {
  if (!word) return 4;
  if (role == FrameRole::kCommand && InfoOf(*word).isQuery) return 4;
  return 5;
}

// Only the frames that carry the whitelists count one byte too many: the SWH command and the
// GWH reply. The GWH query is an ordinary frame.
bool HasExtraCount(std::optional<CommandWord> word, FrameRole role) {
  if (!word || !InfoOf(*word).extraCount) return false;
  return InfoOf(*word).isQuery == (role == FrameRole::kReply);
}

bool BelongsTo(WalkMode mode, std::optional<CommandWord> word) {
  if (!word) return false;
  if (mode == WalkMode::kWhiteLists) return *word == CommandWord::kSwh;
  return *word == CommandWord::kSet || *word == CommandWord::kSit || *word == CommandWord::kSom;
}

}  // namespace

int DecimalValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  constexpr long long kLimit = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kLimit) value = kLimit;  // saturate; the digits left change nothing
  }
  if (negative) return static_cast<int>(-value);
  return value > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                 : static_cast<int>(value);
}

// --- Whitelists ------------------------------------------------------------------------------

void AppendWhiteListText(std::string& out, const WhiteLists& lists) {
  for (const std::string* list : {&lists.users, &lists.devices, &lists.makes}) {
    out.append(list->empty() ? kEmptyListMark : std::string_view(*list));
    out.push_back(';');
  }
}

std::string FormatWhiteLists(const WhiteLists& lists) {
  std::string text;
  AppendWhiteListText(text, lists);
  return text;
}

WhiteLists SplitWhiteLists(std::string_view text) {
  FieldTokenizer fields(text, ';');
  WhiteLists lists;
  for (std::string* list : {&lists.users, &lists.devices, &lists.makes}) {
    const std::string_view field = fields.Next();
    if (field != kEmptyListMark) list->assign(field);
  }
  return lists;
}

// --- Writing frames --------------------------------------------------------------------------

void AppendFrame(std::string& out, std::string_view body, bool extraCount) {
  AppendLengthField(out, static_cast<int>(body.size()) + (extraCount ? 1 : 0));
  out.append(body);
}

std::string BuildQueryFrame(CommandWord word) {
  std::string text = "0004";
  text.append(InfoOf(word).text);
  text.push_back(';');
  return FixedFrameWithZeros(text);
}

std::string BuildSetFrame(bool block) {
  return FixedFrameWithZeros(block ? "0006SET;1;" : "0006SET;2;");
}

std::string BuildSitFrame(int minutes) {
  std::string body = "SIT;";
  AppendDecimal(body, minutes);
  body.push_back(';');
  std::string frame;
  AppendFrame(frame, body);
  return frame;
}

std::string BuildSomFrame(bool on) {
  std::string frame;
  AppendFrame(frame, on ? "SOM;1;" : "SOM;2;");
  return frame;
}

std::string BuildSwhFrame(const WhiteLists& lists) {
  std::string body = "SWH;";
  AppendWhiteListText(body, lists);
  std::string frame;
  AppendFrame(frame, body, /*extraCount=*/true);
  return frame;
}

std::string BuildGetReply(bool blocked) {
  return ValueReply("GET", blocked ? kValueOn : kValueOff);
}

std::string BuildGomReply(bool on) {
  return ValueReply("GOM", on ? kValueOn : kValueOff);
}

std::string BuildGitReply(std::optional<int> minutes) {
  std::string body = "GIT;";
  AppendDecimal(body, minutes.value_or(kDefaultIdleMinutes));
  body.push_back(';');
  std::string reply;
  AppendFrame(reply, body);
  return reply;
}

std::string BuildGwhReply(const std::optional<WhiteLists>& lists) {
  std::string body = "GWH;";
  if (lists) AppendWhiteListText(body, *lists);
  std::string reply;
  // The extra count is part of the format even without lists: "   5GWH;".
  AppendFrame(reply, body, /*extraCount=*/true);
  return reply;
}

// --- Reading frames --------------------------------------------------------------------------

CommandText TextOfCommandRead(std::string_view received) {
  if (received.size() >= kCommandReadBuffer) return {{}, ReadProblem::kOversize};
  const std::string_view text = received.substr(0, received.find('\0'));
  if (text.size() < kMinCommandText) return {text, ReadProblem::kTooShort};
  return {text, ReadProblem::kNone};
}

FrameRead ReadFrameAt(std::string_view text, std::size_t offset, FrameRole role) {
  FrameRead read;
  read.frame.offset = offset;
  if (offset > text.size() || text.size() - offset < kMinCommandText) {
    read.problem = FrameProblem::kTooShort;
    return read;
  }
  Frame& frame = read.frame;
  frame.length = DecimalValue(text.substr(offset, 4));
  frame.wordText = text.substr(offset + 4, 3);
  frame.word = FindCommandWord(frame.wordText);
  if (frame.length < MinLength(frame.word, role)) {
    read.problem = FrameProblem::kBadLength;
    return read;
  }
  // A whitelist frame ends one byte before L says; every other frame at offset+L+3.
  const std::size_t frameBytes =
      4 + static_cast<std::size_t>(frame.length) - (HasExtraCount(frame.word, role) ? 1 : 0);
  if (frameBytes > text.size() - offset) {
    read.problem = FrameProblem::kPastEnd;
    return read;
  }
  if (frame.length >= 5) {
    frame.argument = text.substr(offset + 8, static_cast<std::size_t>(frame.length) - 5);
  }
  frame.size = frameBytes;
  frame.lastByte = text[offset + frameBytes - 1];
  return read;
}

WalkEnd WalkFrames(std::string_view text, WalkMode mode, FrameVisitor& visitor) {
  // R counts down the characters not yet walked. Each step is the frame's own size: stepping
  // L+4 over a whitelist frame, whose L is one too large, would land inside the next frame.
  long long remaining = static_cast<long long>(text.size());
  std::size_t offset = 0;
  while (remaining >= 4) {
    const FrameRead read = ReadFrameAt(text, offset, FrameRole::kCommand);
    if (read.problem != FrameProblem::kNone) return WalkEnd::kBadFrame;
    const Frame& frame = read.frame;
    const std::size_t closing = offset + static_cast<std::size_t>(frame.length) + 3;
    if (mode == WalkMode::kSettings && (closing >= text.size() || text[closing] != ';')) {
      return WalkEnd::kNotClosed;
    }
    if (BelongsTo(mode, frame.word) && !visitor.OnFrame(frame)) return WalkEnd::kStopped;
    const std::size_t step = frame.size;
    remaining -= static_cast<long long>(step);
    offset += step;
    if (remaining <= 0) break;
  }
  return WalkEnd::kEndOfRead;
}

// --- Both ends --------------------------------------------------------------------------------

namespace {

class HandlerVisitor final : public FrameVisitor {
 public:
  explicit HandlerVisitor(ICommandHandler& handler) : handler_(handler) {}

  bool OnFrame(const Frame& frame) override {
    if (handler_.Stopping()) return false;
    switch (*frame.word) {
      case CommandWord::kSet:
        handler_.SetBlockUsb(DecimalValue(frame.argument) == 1);
        break;
      case CommandWord::kSit:
        // Minutes are a 32-bit count: an argument that is not one, or does not fit, writes
        // nothing rather than a 0 or a clipped value nobody sent.
        if (const auto minutes = IdleMinutesArgument(frame.argument)) {
          handler_.SetIdleMinutes(static_cast<int>(*minutes));
        }
        break;
      case CommandWord::kSom:
        handler_.SetSendOfflineMsg(DecimalValue(frame.argument) == 1);
        break;
      case CommandWord::kSwh:
        handler_.SetWhiteLists(SplitWhiteLists(frame.argument));
        break;
      default:
        break;  // the walk only visits its own words
    }
    return true;
  }

 private:
  ICommandHandler& handler_;
};

}  // namespace

std::optional<std::uint32_t> IdleMinutesArgument(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

CommandOutcome HandleCommandRead(std::string_view received, ICommandHandler& handler) {
  CommandOutcome outcome;
  const CommandText read = TextOfCommandRead(received);
  outcome.readProblem = read.problem;
  if (read.problem != ReadProblem::kNone) return outcome;

  const std::string_view text = read.text;
  outcome.firstWord = FindCommandWord(text.substr(4, 3));
  if (!outcome.firstWord) return outcome;  // unknown words are ignored

  HandlerVisitor visitor(handler);
  switch (*outcome.firstWord) {
    case CommandWord::kSet:
    case CommandWord::kSit:
    case CommandWord::kSom:
      outcome.walkEnd = WalkFrames(text, WalkMode::kSettings, visitor);
      return outcome;
    case CommandWord::kSwh:
      outcome.walkEnd = WalkFrames(text, WalkMode::kWhiteLists, visitor);
      return outcome;
    default:
      break;
  }

  // A query: its frame must be whole, but carries nothing else to read.
  if (ReadFrameAt(text, 0, FrameRole::kCommand).problem != FrameProblem::kNone) {
    outcome.walkEnd = WalkEnd::kBadFrame;
    return outcome;
  }
  if (handler.Stopping()) {
    outcome.walkEnd = WalkEnd::kStopped;
    return outcome;
  }
  switch (*outcome.firstWord) {
    case CommandWord::kGet:
      outcome.reply = BuildGetReply(handler.IsUsbBlocked());
      break;
    case CommandWord::kGom:
      outcome.reply = BuildGomReply(handler.IsSendOfflineMsgOn());
      break;
    case CommandWord::kGit:
      outcome.reply = BuildGitReply(handler.IdleMinutes());
      break;
    case CommandWord::kGwh:
      outcome.reply = BuildGwhReply(handler.ReadWhiteLists());
      break;
    default:
      break;
  }
  return outcome;
}

std::optional<CommandReply> ReadCommandReply(std::string_view received) {
  const CommandText read = TextOfCommandRead(received);
  if (read.problem != ReadProblem::kNone) return std::nullopt;
  const FrameRead frameRead = ReadFrameAt(read.text, 0, FrameRole::kReply);
  if (frameRead.problem != FrameProblem::kNone) return std::nullopt;
  const Frame& frame = frameRead.frame;
  if (!frame.word || !InfoOf(*frame.word).isQuery) return std::nullopt;

  CommandReply reply;
  reply.word = *frame.word;
  switch (reply.word) {
    case CommandWord::kGet:
    case CommandWord::kGom:
      reply.value = static_cast<std::byte>(frame.lastByte);
      break;
    case CommandWord::kGit:
      reply.minutes = DecimalValue(frame.argument);
      break;
    case CommandWord::kGwh:
      reply.listText = frame.argument;
      break;
    default:
      break;
  }
  return reply;
}

// --- Whitelist notices -----------------------------------------------------------------------

std::string BuildNotice(std::string_view text) {
  std::string datagram(text);
  datagram.push_back(';');
  return datagram;
}

std::string DeviceNoticeText(int driveIndex, std::string_view deviceText) {
  std::string text;
  AppendDecimal(text, driveIndex);
  text.push_back(';');
  text.append(deviceText);
  return text;
}

std::string BuildDeviceNotice(int driveIndex, std::string_view deviceText) {
  return BuildNotice(DeviceNoticeText(driveIndex, deviceText));
}

WhiteListNotice ParseWhiteListNotice(std::string_view text) {
  WhiteListNotice notice;
  if (text == kUnmountNotice) {
    notice.unmount = true;
    return notice;
  }
  FieldTokenizer fields(text, ';');
  notice.driveIndex = DecimalValue(fields.Next());
  notice.deviceText = fields.Next();
  notice.make = MakeOfDeviceText(notice.deviceText);
  return notice;
}

std::string_view MakeOfDeviceText(std::string_view deviceText) {
  const std::size_t blank = deviceText.rfind(' ');
  return blank == std::string_view::npos ? deviceText : deviceText.substr(0, blank);
}

}  // namespace uv::protocol
