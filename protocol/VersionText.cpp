#include "protocol/VersionText.h"

#include "protocol/VersionResource.h"

namespace uv::protocol {

std::string VersionTextOf(std::string_view productVersion) {
  std::string text(kVersionPrefix);
  text.reserve(kVersionPrefix.size() + productVersion.size());
  for (const char c : productVersion) {
    if (c != ',') text.push_back(c);
  }
  return text;
}

platform::Result<std::string> VersionTextFromResource(std::span<const std::uint8_t> resource) {
  const Result<std::string_view> productVersion = QueryTranslatedString(resource, "ProductVersion");
  if (!productVersion) return platform::Result<std::string>::Failure(productVersion.error());
  return VersionTextOf(*productVersion);
}

}  // namespace uv::protocol
