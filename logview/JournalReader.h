#pragma once
// Reading and clearing the client agent's journal of undelivered reports ("OfflineMsg.log" in the
// system directory). The agent appends one report per line: version text, date, time,
// computer-and-user, address and message, separated by "," and ended by "\r\n".
//
// The journal is read in pieces of at most kJournalPieceBytes bytes: a longer line is read in
// several pieces and each piece is shown as a line of its own. A piece is never cut inside a
// UTF-8 character. Pieces that begin with a line end (the rest of a line that filled a piece
// exactly) are passed over. Every line is shown, the first one too: the journal has no header.
//
// Thread affinity: none; a JournalReader is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gui/list/EventRow.h"

namespace uv::logview {

inline constexpr const char* kJournalFileName = "OfflineMsg.log";
// The reading buffer holds 1024 bytes with the terminator, so a piece carries 1023 bytes.
inline constexpr std::size_t kJournalPieceBytes = 1023;

// "<system directory>/OfflineMsg.log".
std::filesystem::path JournalPath(const std::filesystem::path& systemDirectory);

// The row one piece shows, or nothing when the piece has no field after the version text (a
// line of only commas, a stray word). Line ends are removed; fields are split at "," with empty
// fields skipped, so two commas in a row count as one and the later fields move one column to
// the left; the version text is dropped; a message containing a comma is cut at it; the
// category is the first blank-separated word of the message. Fields missing at the end of a
// short line stay empty.
std::optional<gui::EventRow> ParseJournalLine(std::string_view piece);

// Cuts a byte stream into pieces as described above; Feed() may be called with any chunk sizes.
class JournalPieceSplitter {
 public:
  using PieceSink = std::function<void(std::string_view piece)>;
  explicit JournalPieceSplitter(PieceSink sink);

  void Feed(std::string_view bytes);
  // Ends the stream: a last piece without a line end is delivered.
  void Finish();
  // True while the bytes fed so far end inside a line.
  bool InsideLine() const { return !piece_.empty(); }

 private:
  void Deliver();
  PieceSink sink_;
  std::string piece_;
};

struct JournalReadStats {
  std::size_t pieces = 0;  // pieces read, shown or not
  std::size_t rows = 0;    // rows delivered
  std::uint64_t bytes = 0;
};

// One reading of the journal. Open() takes the file's length at that moment; ReadRows() reads
// that many bytes and, when the last line was still being written then, the rest of that line,
// so the agent appending while the viewer reads neither keeps the reading going nor shows half
// a line.
class JournalReader {
 public:
  // Nothing when the file cannot be opened for reading or is not a regular file.
  static std::optional<JournalReader> Open(const std::filesystem::path& path);
  JournalReader(JournalReader&& other) noexcept;
  JournalReader& operator=(JournalReader&& other) noexcept;
  ~JournalReader();
  JournalReader(const JournalReader&) = delete;
  JournalReader& operator=(const JournalReader&) = delete;

  std::uint64_t SizeAtOpen() const { return size_; }

  using RowSink = std::function<void(gui::EventRow&& row)>;
  // Rows in file order (oldest first). A read error ends the reading with what was read.
  JournalReadStats ReadRows(const RowSink& sink);

 private:
  class File;
  JournalReader(std::unique_ptr<File> file, std::uint64_t size);
  std::unique_ptr<File> file_;
  std::uint64_t size_ = 0;
};

enum class ClearOutcome {
  kCleared,         // the file had content and is now empty
  kClearedEmpty,    // the file was empty already (and still is)
  kOpenFailed,      // it could not be opened for reading: "Unable to open the log file"
  kTruncateFailed,  // it could not be opened for writing: "Unable to clear the log file"
};

// Learns the file's length, then empties it. Nothing is changed unless the outcome is kCleared or
// kClearedEmpty.
ClearOutcome ClearJournal(const std::filesystem::path& path);

}  // namespace uv::logview
