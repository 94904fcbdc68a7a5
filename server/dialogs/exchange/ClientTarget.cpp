#include "server/dialogs/exchange/ClientTarget.h"

#include <algorithm>

#include "platform/trace/Trace.h"
#include "protocol/CommandFrame.h"

namespace uv::server {

std::string CanonicalClientAddress(std::string_view entry) {
  std::array<int, 4> parts{};
  std::size_t index = 0;
  std::size_t start = 0;
  while (index < parts.size() && start <= entry.size()) {
    const std::size_t dot = entry.find('.', start);
    const std::string_view part =
        entry.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    parts[index++] = protocol::DecimalValue(part);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text.push_back('.');
    text += std::to_string(parts[i]);
  }
  // Text after a fourth dot makes the entry no address, rather than being dropped silently.
  if (std::count(entry.begin(), entry.end(), '.') > 3) text += ".";
  return text;
}

TargetSelection SelectClientTarget(const TargetInput& input, std::string_view invalidNameText,
                                   bool refuseEmptyActiveList) {
  switch (input.mode) {
    case TargetMode::kIpAddress: {
      if (input.ip[0] == 0 && input.ip[3] == 0) return {std::nullopt, kInvalidIpText};
      std::string text;
      for (std::size_t i = 0; i < input.ip.size(); ++i) {
        if (i > 0) text.push_back('.');
        text += std::to_string(input.ip[i]);
      }
      return {TargetChoice{text, 0}, {}};
    }
    case TargetMode::kMachineName:
      if (input.name.empty() || input.name.find(' ') != std::string::npos) {
        return {std::nullopt, invalidNameText};
      }
      return {TargetChoice{input.name, 1}, {}};
    case TargetMode::kActiveClients: {
      if (!input.activeEntry) {
        if (refuseEmptyActiveList) return {std::nullopt, kEmptyActiveListText};
        return {TargetChoice{CanonicalClientAddress({}), 2}, {}};
      }
      std::string target = CanonicalClientAddress(*input.activeEntry);
      platform::Trace(target);
      return {TargetChoice{std::move(target), 2}, {}};
    }
  }
  return {std::nullopt, kInvalidIpText};
}

}  // namespace uv::server
