#include "client/agent/listener/CAllowedConsoles.h"

#include <algorithm>

#include "platform/machine/Machine.h"
#include "platform/net/HostResolver.h"
#include "platform/registry/Registry.h"
#include "platform/trace/Trace.h"

namespace uv::agent {

namespace {

constexpr auto kResolveAgain = std::chrono::minutes(1);
// More entries than any network has consoles: the rest of an absurd value is not resolved.
constexpr std::size_t kMaxEntries = 64;

bool IsSeparator(char c) {
  return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0';
}

}  // namespace

CAllowedConsoles::CAllowedConsoles(platform::Machine& machine, ReadSetting readSetting)
    : machine_(machine), readSetting_(std::move(readSetting)) {}

std::vector<std::string_view> CAllowedConsoles::SplitEntries(std::string_view text) {
  std::vector<std::string_view> entries;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) ++i;
    if (i > start) entries.push_back(text.substr(start, i - start));
  }
  return entries;
}

std::optional<std::string> CAllowedConsoles::ReadValue(const platform::RegKey& settings) {
  auto value = settings.QueryValue(kAllowedConsolesValue);
  if (!value) {
    if (value.error() == platform::kErrorFileNotFound) return std::nullopt;
    platform::Trace("AllowedConsoles cannot be read, no console admitted\n");
    return std::string();
  }
  if (auto text = settings.QueryString(kAllowedConsolesValue)) return *text;
  if (auto texts = settings.QueryMultiString(kAllowedConsolesValue)) {
    std::string joined;
    for (const auto& t : *texts) {
      if (!joined.empty()) joined.push_back(',');
      joined += t;
    }
    return joined;
  }
  platform::Trace("AllowedConsoles is not a text, no console admitted\n");
  return std::string();
}

bool CAllowedConsoles::Admits(platform::Ipv4Address peer) {
  const std::optional<std::string> text = readSetting_ ? readSetting_() : std::nullopt;
  if (!text) return true;

  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!haveCache_ || cachedText_ != text || now - resolvedAt_ >= kResolveAgain) {
    cachedAddresses_.clear();
    auto entries = SplitEntries(*text);
    if (entries.size() > kMaxEntries) entries.resize(kMaxEntries);
    for (const std::string_view entry : entries) {
      if (auto address = platform::Ipv4Address::Parse(entry)) {
        cachedAddresses_.push_back(*address);
      } else if (auto resolved = platform::ResolveHost(machine_, entry)) {
        cachedAddresses_.push_back(*resolved);
      } else {
        platform::TraceF("AllowedConsoles entry %.*s does not resolve\n",
                         static_cast<int>(entry.size()), entry.data());
      }
    }
    cachedText_ = text;
    resolvedAt_ = now;
    haveCache_ = true;
  }
  return std::find(cachedAddresses_.begin(), cachedAddresses_.end(), peer) !=
         cachedAddresses_.end();
}

}  // namespace uv::agent
