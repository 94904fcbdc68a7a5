#include "logview/JournalReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/common/FileRead.h"

namespace uv::logview {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
// After the length taken at open, at most this much more is read to finish a line that was
// being written then.
constexpr std::size_t kMaxLineTail = 64 * 1024;

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// How many bytes at the end of `text` start a UTF-8 character that is not complete.
std::size_t IncompleteCharacterTail(std::string_view text) {
  const std::size_t n = text.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    std::size_t length = 1;
    if ((c & 0xE0) == 0xC0) {
      length = 2;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
    }
    return length > back ? back : 0;
  }
  return 0;  // only continuation bytes, or none: not text we could keep together
}

// The next bytes of the journal; 0 at its end or on a read error (the reading ends with what
// was read).
std::size_t ReadSome(platform::FileReader& file, char* buffer, std::size_t size) {
  const auto n = file.Read(std::span<char>(buffer, size));
  return n ? *n : 0;
}

}  // namespace

std::filesystem::path JournalPath(const std::filesystem::path& systemDirectory) {
  return systemDirectory / kJournalFileName;
}

std::optional<gui::EventRow> ParseJournalLine(std::string_view piece) {
  // Line ends normally stand only at the end; anywhere else they are removed as well.
  std::string cleaned;
  while (!piece.empty() && IsLineEnd(piece.back())) piece.remove_suffix(1);
  if (std::find_if(piece.begin(), piece.end(), IsLineEnd) != piece.end()) {
    cleaned.reserve(piece.size());
    for (char c : piece) {
      if (!IsLineEnd(c)) cleaned.push_back(c);
    }
    piece = cleaned;
  }

  // Fields at ",", empty ones skipped; only the first six are read.
  std::array<std::string_view, 6> fields;
  std::size_t count = 0;
  std::size_t pos = 0;
  while (count < fields.size()) {
    while (pos < piece.size() && piece[pos] == ',') ++pos;
    if (pos >= piece.size()) break;
    const std::size_t end = std::min(piece.find(',', pos), piece.size());
    fields[count++] = piece.substr(pos, end - pos);
    pos = end;
  }
  if (count < 2) return std::nullopt;  // nothing after the version text

  gui::EventRow row;
  row.date = fields[1];
  row.time = fields[2];
  row.computerUser = fields[3];
  row.address = fields[4];
  row.message = fields[5];
  const std::string_view message = fields[5];
  const std::size_t wordStart = std::min(message.find_first_not_of(' '), message.size());
  const std::size_t wordEnd = std::min(message.find(' ', wordStart), message.size());
  row.category = message.substr(wordStart, wordEnd - wordStart);
  return row;
}

// ---------------------------------------------------------------------------------------------
// JournalPieceSplitter

JournalPieceSplitter::JournalPieceSplitter(PieceSink sink) : sink_(std::move(sink)) {
  piece_.reserve(kJournalPieceBytes + 1);
}

void JournalPieceSplitter::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t room = kJournalPieceBytes - piece_.size();
    const std::size_t look = std::min(room, bytes.size());
    const void* found = std::memchr(bytes.data(), '\n', look);
    if (found != nullptr) {
      const auto take =
          static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data()) + 1;
      piece_.append(bytes.data(), take);
      bytes.remove_prefix(take);
      Deliver();
      continue;
    }
    piece_.append(bytes.data(), look);
    bytes.remove_prefix(look);
    if (piece_.size() < kJournalPieceBytes) break;  // the chunk ended inside the piece

    // A full piece without a line end: the line goes on in the next piece, which takes over
    // a character cut in half here.
    const std::size_t carry = IncompleteCharacterTail(piece_);
    std::string tail = piece_.substr(piece_.size() - carry);
    piece_.resize(piece_.size() - carry);
    Deliver();
    piece_ = std::move(tail);
  }
}

void JournalPieceSplitter::Finish() {
  Deliver();
}

void JournalPieceSplitter::Deliver() {
  if (!piece_.empty() && !IsLineEnd(piece_.front())) sink_(piece_);
  piece_.clear();
}

// ---------------------------------------------------------------------------------------------
// JournalReader

class JournalReader::File {
 public:
  explicit File(platform::FileReader opened) : reader(std::move(opened)) {}
  platform::FileReader reader;
};

JournalReader::JournalReader(std::unique_ptr<File> file, std::uint64_t size)
    : file_(std::move(file)), size_(size) {}
JournalReader::JournalReader(JournalReader&& other) noexcept = default;
JournalReader& JournalReader::operator=(JournalReader&& other) noexcept = default;
JournalReader::~JournalReader() = default;

std::optional<JournalReader> JournalReader::Open(const std::filesystem::path& path) {
  auto reader = platform::FileReader::Open(path);
  if (!reader) return std::nullopt;
  const std::uint64_t size = reader->SizeAtOpen();
  return JournalReader(std::make_unique<File>(std::move(*reader)), size);
}

JournalReadStats JournalReader::ReadRows(const RowSink& sink) {
  JournalReadStats stats;
  if (!file_) return stats;
  JournalPieceSplitter splitter([&](std::string_view piece) {
    ++stats.pieces;
    if (auto row = ParseJournalLine(piece)) {
      ++stats.rows;
      sink(std::move(*row));
    }
  });
  std::vector<char> buffer(kReadChunk);
  std::uint64_t left = size_;
  while (left > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    const std::size_t n = ReadSome(file_->reader, buffer.data(), want);
    if (n == 0) break;  // an error, or the file became shorter while we read
    stats.bytes += n;
    left -= n;
    splitter.Feed(std::string_view(buffer.data(), n));
  }
  // The last line may have been half written when we took the length: read on to its end,
  // and no further.
  std::size_t tail = 0;
  while (left == 0 && splitter.InsideLine() && tail < kMaxLineTail) {
    const std::size_t want = std::min<std::size_t>(4096, kMaxLineTail - tail);
    const std::size_t n = ReadSome(file_->reader, buffer.data(), want);
    if (n == 0) break;
    std::string_view chunk(buffer.data(), n);
    const std::size_t end = chunk.find('\n');
    if (end != std::string_view::npos) chunk = chunk.substr(0, end + 1);
    stats.bytes += chunk.size();
    tail += chunk.size();
    splitter.Feed(chunk);
    if (end != std::string_view::npos) break;
  }
  splitter.Finish();
  return stats;
}

// ---------------------------------------------------------------------------------------------
// Clearing

ClearOutcome ClearJournal(const std::filesystem::path& path) {
  std::uint64_t size = 0;
  {
    const auto reading = platform::FileReader::Open(path);
    if (!reading) return ClearOutcome::kOpenFailed;
    size = reading->SizeAtOpen();
  }
  // A journal that vanished in between is not made anew.
  if (platform::TruncateFile(path) != platform::kErrorSuccess) return ClearOutcome::kTruncateFailed;
  return size > 0 ? ClearOutcome::kCleared : ClearOutcome::kClearedEmpty;
}

}  // namespace uv::logview
