// The command channel's readers on arbitrary reads: the agent's handling, the frame walk and the
// console's reply reading. Every view they return must lie inside the read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/CommandFrame.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

using namespace uv::protocol;

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

class Agent final : public ICommandHandler {
 public:
  void SetBlockUsb(bool block) override { blocked_ = block; }
  void SetIdleMinutes(int minutes) override { minutes_ = minutes; }
  void SetSendOfflineMsg(bool on) override { offline_ = on; }
  void SetWhiteLists(const WhiteLists& lists) override {
    // What the agent stores must travel back unchanged.
    UV_FUZZ_CHECK(SplitWhiteLists(FormatWhiteLists(lists)) == lists);
    lists_ = lists;
  }
  bool IsUsbBlocked() override { return blocked_; }
  bool IsSendOfflineMsgOn() override { return offline_; }
  std::optional<int> IdleMinutes() override { return minutes_; }
  std::optional<WhiteLists> ReadWhiteLists() override { return lists_; }

 private:
  bool blocked_ = false;
  bool offline_ = false;
  std::optional<int> minutes_;
  std::optional<WhiteLists> lists_;
};

class BoundsVisitor final : public FrameVisitor {
 public:
  explicit BoundsVisitor(std::string_view text) : text_(text) {}
  bool OnFrame(const Frame& frame) override {
    UV_FUZZ_CHECK(frame.offset + frame.size <= text_.size());
    UV_FUZZ_CHECK(frame.length >= 4);
    UV_FUZZ_CHECK(Inside(frame.argument, text_));
    UV_FUZZ_CHECK(Inside(frame.wordText, text_));
    return true;
  }

 private:
  std::string_view text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view read(reinterpret_cast<const char*>(data), size);

  Agent agent;
  const CommandOutcome outcome = HandleCommandRead(read, agent);
  if (!outcome.reply.empty() && outcome.reply.size() < kCommandReadBuffer) {
    // Every reply the agent makes is one the console reads, with the same word. (Lists stored
    // from a nearly full read can come back longer than one read holds; the console drops those.)
    const auto reply = ReadCommandReply(outcome.reply);
    UV_FUZZ_CHECK(reply.has_value());
    UV_FUZZ_CHECK(outcome.firstWord && reply->word == *outcome.firstWord);
  }

  const CommandText text = TextOfCommandRead(read);
  UV_FUZZ_CHECK(Inside(text.text, read));
  for (const WalkMode mode : {WalkMode::kSettings, WalkMode::kWhiteLists}) {
    BoundsVisitor visitor(text.text);
    (void)WalkFrames(text.text, mode, visitor);
  }

  if (const auto reply = ReadCommandReply(read)) UV_FUZZ_CHECK(Inside(reply->listText, read));

  const WhiteListNotice notice = ParseWhiteListNotice(read);
  UV_FUZZ_CHECK(Inside(notice.deviceText, read));
  UV_FUZZ_CHECK(Inside(notice.make, read));
  return 0;
}
