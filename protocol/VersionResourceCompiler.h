#pragma once
// Turns the text form of a version resource (resources/version/VersionInfo.txt, in the layout of
// a resource script's VERSIONINFO statement) into the binary resource that VersionResource.h
// reads. Runs at build time in the resource generator, and in tests.
//
//   FILEVERSION 1,6,0,0
//   PRODUCTVERSION 1,6,0,0
//   BEGIN
//     BLOCK "StringFileInfo"
//     BEGIN
//       BLOCK "040904b0"
//       BEGIN
//         VALUE "ProductVersion", "1, 6, 0, 0"
//       END
//     END
//     BLOCK "VarFileInfo"
//     BEGIN
//       VALUE "Translation", 0x409, 1200
//     END
//   END
//
// Numbers after a VALUE's key are 16-bit words; "{" and "}" may stand for BEGIN and END; "//" and
// "#" start a comment that runs to the end of the line.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace uv::protocol {

struct VersionNode {
  enum class Kind { kBlock, kText, kBinary };
  Kind kind = Kind::kBlock;
  std::string key;
  std::string text;                   // kText
  std::vector<std::uint8_t> binary;   // kBinary
  std::vector<VersionNode> children;  // kBlock
};

struct VersionInfoSource {
  std::array<std::uint16_t, 4> fileVersion{};
  std::array<std::uint16_t, 4> productVersion{};
  std::uint32_t fileFlagsMask = 0x3f;
  std::uint32_t fileFlags = 0;
  std::uint32_t fileOs = 0x4;    // 32-bit Windows
  std::uint32_t fileType = 0x1;  // application
  std::uint32_t fileSubtype = 0;
  std::vector<VersionNode> blocks;
};

struct VersionParse {
  std::optional<VersionInfoSource> source;
  std::string error;  // "line N: ..." when source is empty
};

[[nodiscard]] VersionParse ParseVersionInfoText(std::string_view text);

// Sets the text value `name` in every string table ("StringFileInfo" tables), adding it where it
// is missing. The build uses it for each program's own FileDescription and file names.
void SetStringValue(VersionInfoSource& source, std::string_view name, std::string_view value);

struct VersionCompile {
  std::vector<std::uint8_t> blob;
  std::string error;  // set when a node is too large for its 16-bit length
};

[[nodiscard]] VersionCompile CompileVersionResource(const VersionInfoSource& source);

// A C++ source file that defines uv::protocol::ProgramVersionResource() over `blob`.
[[nodiscard]] std::string EmitVersionResourceSource(const std::vector<std::uint8_t>& blob);

}  // namespace uv::protocol
