#include "protocol/EventPort.h"

namespace uv::protocol {

EventPortDatagram ClassifyEventPortDatagram(std::string_view datagram) {
  if (datagram == kProbeRequest) return EventPortDatagram::kProbe;
  if (datagram == kConfigQuery) return EventPortDatagram::kConfigRequest;
  return EventPortDatagram::kReport;
}

bool IsProbeAnswer(std::string_view received) {
  return received == kProbeAnswer;
}

std::string_view EventTextOfDatagram(std::string_view datagram) {
  const std::string_view kept = datagram.substr(0, kMaxEventText);
  return kept.substr(0, kept.find('\0'));
}

std::string_view ConfigQueryAnswer(bool settingRead, std::uint32_t value) {
  return settingRead && value == 0 ? "0" : "1";
}

}  // namespace uv::protocol
