#pragma once
// Helpers of the fs tests: a temporary directory, whole files, and a change reader on a port that
// collects the records of its completions as (action, UTF-8 name) pairs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/Text.h"
#include "platform/fs/CompletionPort.h"
#include "platform/fs/DirectoryHandle.h"
#include "tests/support/FileText.h"
#include "tests/support/TempDir.h"

namespace uv::platform::testing {

using TempDir = uv::test::TempDir;

using uv::test::WriteFile;

inline void AppendFile(const std::filesystem::path& file, const std::string& content) {
  std::ofstream out(file, std::ios::binary | std::ios::app);
  out << content;
}

// UTF-16 (as the records carry it) to UTF-8, with "?" for a lone surrogate.
inline std::string NameToUtf8(std::span<const std::byte> bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  std::memcpy(units.data(), bytes.data(), units.size() * 2);
  return uv::platform::Utf16ToUtf8(units);
}

struct Change {
  std::uint32_t action = 0;
  std::string name;
  bool operator==(const Change&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Change& change) {
  return out << "{" << change.action << ", \"" << change.name << "\"}";
}

class ChangeReader {
 public:
  static constexpr auto kLimit = std::chrono::seconds(10);

  explicit ChangeReader(const std::filesystem::path& directory, bool subtree = true,
                        std::uint32_t filter = kNotifyChangeFileName | kNotifyChangeDirName |
                                               kNotifyChangeSize,
                        std::size_t bufferSize = 4096)
      : subtree_(subtree), filter_(filter), storage_((bufferSize + 3) / 4) {
    auto port = CompletionPort::Create();
    EXPECT_TRUE(port.ok());
    port_ = std::move(port).value();
    auto handle = DirectoryHandle::Open(directory);
    EXPECT_TRUE(handle.ok()) << handle.error();
    if (handle.ok()) handle_ = std::move(handle).value();
    if (handle_) {
      EXPECT_EQ(handle_->AssociateWith(*port_, kKey), kErrorSuccess);
    }
  }

  static constexpr CompletionKey kKey = 0x5eed;

  std::span<std::byte> Buffer() {
    return std::span<std::byte>(reinterpret_cast<std::byte*>(storage_.data()), storage_.size() * 4);
  }

  WinError Issue() { return handle_->ReadChanges(Buffer(), subtree_, filter_, &overlapped_); }

  // The next completion of this reader, or nothing within `limit`.
  std::optional<Completion> Next(std::chrono::milliseconds limit = kLimit) {
    auto got = port_->Wait(limit);
    if (!got.ok()) return std::nullopt;
    return *got;
  }

  // Issues reads and gathers their records until `done` holds or the limit passes. Zero-byte
  // completions are counted in overflows().
  template <class Done>
  std::vector<Change> CollectUntil(Done done, std::chrono::milliseconds limit = kLimit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<Change> changes;
    while (!done(changes) && std::chrono::steady_clock::now() < deadline) {
      if (!pending_) {
        const WinError issued = Issue();
        if (issued != kErrorSuccess) {
          lastError_ = issued;
          break;
        }
        pending_ = true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      auto completion = Next(std::max(left, std::chrono::milliseconds(1)));
      if (!completion) break;
      pending_ = false;
      if (completion->error != kErrorSuccess) {
        lastError_ = completion->error;
        break;
      }
      if (completion->bytes == 0) ++overflows_;
      ForEachNotifyRecord(std::span<const std::byte>(Buffer().data(), completion->bytes),
                          [&](std::uint32_t action, std::span<const std::byte> name) {
                            changes.push_back(Change{action, NameToUtf8(name)});
                          });
    }
    return changes;
  }

  // Gathers changes up to and including one named `sentinel`.
  std::vector<Change> CollectThrough(const std::string& sentinel) {
    return CollectUntil([&](const std::vector<Change>& changes) {
      return !changes.empty() && changes.back().name == sentinel;
    });
  }

  DirectoryHandle& handle() { return *handle_; }
  CompletionPort& port() { return *port_; }
  Overlapped& overlapped() { return overlapped_; }
  int overflows() const { return overflows_; }
  WinError lastError() const { return lastError_; }
  bool pending() const { return pending_; }
  void SetPending(bool pending) { pending_ = pending; }

 private:
  bool subtree_;
  std::uint32_t filter_;
  std::vector<std::uint32_t> storage_;  // 4-byte aligned, as the records need
  std::unique_ptr<CompletionPort> port_;
  std::unique_ptr<DirectoryHandle> handle_;
  Overlapped overlapped_{};
  bool pending_ = false;
  int overflows_ = 0;
  WinError lastError_ = kErrorSuccess;
};

}  // namespace uv::platform::testing
