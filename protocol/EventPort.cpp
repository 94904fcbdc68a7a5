#include "protocol/EventPort.h"

#include "platform/common/Text.h"

namespace uv::protocol {

namespace {

// The received bytes taken as a zero-terminated text and compared with a four-character request
// over five bytes, its terminator included: exactly the request, or the request and a zero byte.
bool MatchesFiveBytes(std::string_view received, std::string_view request) {
  return received.substr(0, received.find('\0')) == request;
}

}  // namespace

EventPortDatagram ClassifyEventPortDatagram(std::string_view datagram) {
  if (MatchesFiveBytes(datagram, kProbeRequest)) return EventPortDatagram::kProbe;
  if (MatchesFiveBytes(datagram, kConfigQuery)) return EventPortDatagram::kConfigRequest;
  return EventPortDatagram::kReport;
}

bool IsProbeAnswer(std::string_view received) {
  // The client reads at most kProbeAnswerBuffer bytes; a longer answer is cut there.
  return MatchesFiveBytes(received.substr(0, kProbeAnswerBuffer), kProbeAnswer);
}

std::string_view EventTextOfDatagram(std::string_view datagram) {
  const std::string_view text = datagram.substr(0, datagram.find('\0'));
  // A text cut at the buffer keeps whole UTF-8 characters.
  return platform::Utf8Prefix(text, kMaxEventText);
}

std::string_view ConfigQueryAnswer(bool settingRead, std::uint32_t value) {
  return settingRead && value == 0 ? "0" : "1";
}

}  // namespace uv::protocol
