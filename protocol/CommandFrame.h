#pragma once
// The command channel between the console and a client agent: length-prefixed frames over one
// TCP connection per exchange, and the two whitelist notices a client sends to a console on its
// own computer.
//
//   offset 0  4 characters  length L, "%4d" (leading blanks) or with leading zeros
//   offset 4  3 characters  command word
//   offset 7  ";"
//   offset 8  argument text, ending with ";" in every frame that carries one
//
// L counts the bytes after the length field, except in the two whitelist frames (the SWH command
// and the GWH reply), where it is one more. Both ends read one receive of at most 2048 bytes as
// the whole message, treat it as a zero-terminated text, and never reassemble frames across reads.
//
// Everything here works on views of the caller's receive buffer and never reads outside the bytes
// received; a frame that claims more than that is dropped together with the rest of its read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace uv::protocol {

// The agent converts this text to its port number, so it is kept as the text.
inline constexpr std::string_view kCommandPortText = "5553";
inline constexpr std::uint16_t kCommandPort = 5553;
inline constexpr std::uint16_t kNoticePort = 5555;

// One read: both ends receive at most this many bytes at once. A read that fills it may have been
// cut, so it is not acted on.
inline constexpr std::size_t kCommandReadBuffer = 2048;
// Shortest text that can carry a command: length field, word and ";".
inline constexpr std::size_t kMinCommandText = 8;

enum class CommandWord : std::uint8_t { kGet, kSet, kGwh, kSwh, kGit, kSit, kGom, kSom };

struct CommandWordInfo {
  CommandWord word;
  std::string_view text;
  bool isQuery;     // sent without argument and answered with a reply
  bool extraCount;  // its whitelist frame (SWH command, GWH reply) counts one byte more in L
};

inline constexpr std::array<CommandWordInfo, 8> kCommandWords{{
    {CommandWord::kGet, "GET", true, false},
    {CommandWord::kSet, "SET", false, false},
    {CommandWord::kGwh, "GWH", true, true},
    {CommandWord::kSwh, "SWH", false, true},
    {CommandWord::kGit, "GIT", true, false},
    {CommandWord::kSit, "SIT", false, false},
    {CommandWord::kGom, "GOM", true, false},
    {CommandWord::kSom, "SOM", false, false},
}};

static_assert([] {
  for (std::size_t i = 0; i < kCommandWords.size(); ++i) {
    if (static_cast<std::size_t>(kCommandWords[i].word) != i) return false;
  }
  return true;
}());

[[nodiscard]] constexpr const CommandWordInfo& InfoOf(CommandWord word) {
  return kCommandWords[static_cast<std::size_t>(word)];
}

// The word whose three letters are exactly `text` (case-sensitive).
[[nodiscard]] constexpr std::optional<CommandWord> FindCommandWord(std::string_view text) {
  for (const auto& info : kCommandWords) {
    if (info.text == text) return info.word;
  }
  return std::nullopt;
}

// The decimal string-to-integer conversion both ends use for lengths and values: blanks in front
// skipped, an optional sign, then digits up to the first other character; 0 when there are none.
// Saturates instead of overflowing.
[[nodiscard]] int DecimalValue(std::string_view text);

// --- Whitelists ------------------------------------------------------------------------------

// The three lists of a client: user names, device texts, device makes; entries joined by ",".
struct WhiteLists {
  std::string users;
  std::string devices;
  std::string makes;
  bool operator==(const WhiteLists&) const = default;
};

inline constexpr std::string_view kEmptyListMark = "-";

// "%s;%s;%s;" with "-" for an empty list, so that the reader's tokenizer keeps fields in place.
void AppendWhiteListText(std::string& out, const WhiteLists& lists);
[[nodiscard]] std::string FormatWhiteLists(const WhiteLists& lists);

// Splits users;devices;makes(;) at ";" (runs count as one, a missing field is empty) and turns a
// field that is exactly "-" into the empty list.
[[nodiscard]] WhiteLists SplitWhiteLists(std::string_view text);

// --- Writing frames --------------------------------------------------------------------------

// "%4d" of the body's length (plus one with `extraCount`), then the body.
void AppendFrame(std::string& out, std::string_view body, bool extraCount = false);

// The console's fixed query frames "0004GET;" etc., sent with two zero bytes (10 bytes).
// `word` must be one of the four queries.
[[nodiscard]] std::string BuildQueryFrame(CommandWord word);
// "0006SET;1;" (block) or "0006SET;2;" (unblock), sent with two zero bytes (12 bytes).
[[nodiscard]] std::string BuildSetFrame(bool block);
// "%4d" then "SIT;%d;" — exactly the text.
[[nodiscard]] std::string BuildSitFrame(int minutes);
// "   6SOM;1;" (on) or "   6SOM;2;" (off) — exactly the text.
[[nodiscard]] std::string BuildSomFrame(bool on);
// "%4d" of 4 + lists + 1, "SWH;", the list text — exactly the text.
[[nodiscard]] std::string BuildSwhFrame(const WhiteLists& lists);

// Replies of the agent, always with a "%4d" length field.
// GET: "   5GET;" and the byte 0x01 (blocked) or 0x02 — bytes, not digits.
[[nodiscard]] std::string BuildGetReply(bool blocked);
// GOM: "   5GOM;" and the byte 0x01 (journal on) or 0x02.
[[nodiscard]] std::string BuildGomReply(bool on);
// GIT: "GIT;%d;" behind its "%4d" length; 10 minutes when the setting is absent.
[[nodiscard]] std::string BuildGitReply(std::optional<int> minutes);
inline constexpr int kDefaultIdleMinutes = 10;
// GWH: "%4d" of lists + 5, "GWH;", the list text; without lists (the agent could not read them)
// just "   5GWH;".
[[nodiscard]] std::string BuildGwhReply(const std::optional<WhiteLists>& lists);

inline constexpr std::byte kValueOn{0x01};
inline constexpr std::byte kValueOff{0x02};

// --- Reading frames --------------------------------------------------------------------------

enum class ReadProblem {
  kNone,
  kOversize,  // the read filled the whole buffer: possibly cut, not acted on
  kTooShort,  // fewer than 8 characters: no command
};

// The text of one read: the bytes up to the first zero byte.
struct CommandText {
  std::string_view text;
  ReadProblem problem = ReadProblem::kNone;
};
[[nodiscard]] CommandText TextOfCommandRead(std::string_view received);

// Which end reads: the same word carries an argument in a reply but not in a query.
enum class FrameRole { kCommand, kReply };

struct Frame {
  std::size_t offset = 0;           // of the length field within the read
  int length = 0;                   // L
  std::string_view wordText;        // the three characters at offset 4
  std::optional<CommandWord> word;  // none for an unknown word
  std::string_view argument;        // the L-5 characters from offset 8
  std::size_t size = 0;             // bytes of the frame: L+4, or L+3 with the extra count
  char lastByte = 0;                // the value byte of the GET and GOM replies
};

enum class FrameProblem {
  kNone,
  kTooShort,   // not even length field, word and ";" left
  kBadLength,  // L below what the word needs (4, or 5 with an argument)
  kPastEnd,    // L reaches beyond the bytes received
};

struct FrameRead {
  Frame frame;
  FrameProblem problem = FrameProblem::kNone;
};

// Reads the frame that starts at `offset` of the text of a read.
[[nodiscard]] FrameRead ReadFrameAt(std::string_view text, std::size_t offset, FrameRole role);

// Which frames a walk acts on; chosen by the word of the first frame of the read.
enum class WalkMode {
  kSettings,    // SET, SIT and SOM frames; each frame must end with ";" at offset+L+3
  kWhiteLists,  // SWH frames
};

enum class WalkEnd {
  kEndOfRead,  // every frame of the read was visited
  kStopped,    // the visitor asked to stop (the agent is stopping)
  kNotClosed,  // a settings walk met a frame without ";" at offset+L+3
  kBadFrame,   // a frame was malformed; it and the rest of the read were dropped
};

// Called for every frame of the walk's words, in order; returns false to stop the walk.
class FrameVisitor {
 public:
  virtual ~FrameVisitor() = default;
  virtual bool OnFrame(const Frame& frame) = 0;
};

// Walks the frames of one read's text back to back, visiting those that belong to `mode` and
// skipping the others. Stops at a malformed frame, and when fewer than 4 characters are left.
[[nodiscard]] WalkEnd WalkFrames(std::string_view text, WalkMode mode, FrameVisitor& visitor);

// --- Both ends of one exchange ----------------------------------------------------------------

// What the agent does with the commands of the console. The agent implements it over its
// registry settings; HandleCommandRead below turns reads into these calls and their replies, and
// the console's frames are built from the same word table, so the two ends cannot drift apart.
class ICommandHandler {
 public:
  virtual ~ICommandHandler() = default;

  virtual void SetBlockUsb(bool block) = 0;      // SET: value 1 blocks, others unblock
  virtual void SetIdleMinutes(int minutes) = 0;  // SIT: 32 bits of minutes (IdleMinutesArgument)
  virtual void SetSendOfflineMsg(bool on) = 0;   // SOM: value 1 on, others off
  virtual void SetWhiteLists(const WhiteLists& lists) = 0;  // SWH

  virtual bool IsUsbBlocked() = 0;                         // GET
  virtual bool IsSendOfflineMsgOn() = 0;                   // GOM
  virtual std::optional<int> IdleMinutes() = 0;            // GIT: none when absent
  virtual std::optional<WhiteLists> ReadWhiteLists() = 0;  // GWH: none when unreadable

  // Polled before each frame of a walk: a stopping agent acts on nothing further.
  virtual bool Stopping() { return false; }
};

// The minutes of a SIT argument: 1 to 10 decimal digits whose value fits 32 bits; none for
// anything else (the agent then writes nothing).
[[nodiscard]] std::optional<std::uint32_t> IdleMinutesArgument(std::string_view text);

struct CommandOutcome {
  ReadProblem readProblem = ReadProblem::kNone;
  std::optional<CommandWord> firstWord;   // the word that chose the handling
  WalkEnd walkEnd = WalkEnd::kEndOfRead;  // for the setting words
  std::string reply;                      // the bytes to send back; empty: no reply
};

// The agent's handling of one read.
[[nodiscard]] CommandOutcome HandleCommandRead(std::string_view received, ICommandHandler& handler);

// The console's reading of one reply.
struct CommandReply {
  CommandWord word = CommandWord::kGet;
  std::byte value{0};         // GET, GOM: the frame's last byte
  int minutes = 0;            // GIT
  std::string_view listText;  // GWH: users;devices;makes; as sent

  [[nodiscard]] bool ValueIsOn() const { return value == kValueOn; }
};
// None when the read carries no reply of the four query words (too short, oversize, malformed or
// another word): the console then keeps the values it had.
[[nodiscard]] std::optional<CommandReply> ReadCommandReply(std::string_view received);

// --- Whitelist notices -----------------------------------------------------------------------

inline constexpr std::string_view kUnmountNoticeWord = "UMNT";
inline constexpr std::string_view kUnmountNotice = "UMNT;";

// The datagram of a notice text: the text and ";".
[[nodiscard]] std::string BuildNotice(std::string_view text);
// "%d;%s" of the drive index (0 to 25, or 0 for a drive being blocked) and the device text.
[[nodiscard]] std::string DeviceNoticeText(int driveIndex, std::string_view deviceText);
// Both steps: "n;device text;".
[[nodiscard]] std::string BuildDeviceNotice(int driveIndex, std::string_view deviceText);

struct WhiteListNotice {
  bool unmount = false;
  int driveIndex = 0;           // 0 also when the notice does not start with a number
  std::string_view deviceText;  // the second field
  std::string_view make;        // the device text up to its last blank
};
[[nodiscard]] WhiteListNotice ParseWhiteListNotice(std::string_view text);

// The make of a device text ("description serial"): everything before its last blank; the whole
// text when it has none.
[[nodiscard]] std::string_view MakeOfDeviceText(std::string_view deviceText);

}  // namespace uv::protocol
