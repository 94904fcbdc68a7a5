// The version resource: its text form, the compiled blob, the query over it, and the version text
// the programs derive from it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/VersionResource.h"
#include "protocol/VersionResourceCompiler.h"
#include "protocol/VersionText.h"
#include "tests/support/FileText.h"

namespace uv::protocol {
namespace {

std::string ShippedText() {
  return test::ReadFile(UV_VERSION_INFO_FILE);
}

std::vector<std::uint8_t> Compile(std::string_view text) {
  const VersionParse parse = ParseVersionInfoText(text);
  EXPECT_TRUE(parse.source) << parse.error;
  if (!parse.source) return {};
  const VersionCompile compiled = CompileVersionResource(*parse.source);
  EXPECT_EQ(compiled.error, "");
  return compiled.blob;
}

constexpr std::string_view kTwoTranslations = R"(
FILEVERSION 2,0,0,1
PRODUCTVERSION 2,0,0,1
BEGIN
  BLOCK "StringFileInfo"
  {
    BLOCK "040904b0" { VALUE "ProductVersion", "1, 6, 0, 0" }
    BLOCK "040704e4" { VALUE "ProductVersion", "2, 0" }
  }
  BLOCK "VarFileInfo"
  {
    VALUE "Translation", 0x407, 1252, 0x409, 1200
  }
END
)";

TEST(VersionTextTest, RemovesEveryComma) {
  EXPECT_EQ(VersionTextOf("1, 6, 0, 0"), "VERSION=1 6 0 0");
  EXPECT_EQ(VersionTextOf("1,6"), "VERSION=16");
  EXPECT_EQ(VersionTextOf(",,,"), "VERSION=");
  EXPECT_EQ(VersionTextOf(""), "VERSION=");
}

TEST(VersionTextTest, ThisProgramsOwnResourceGivesTheShippedVersion) {
  const auto own = OwnVersionText();
  ASSERT_TRUE(own) << own.error();
  EXPECT_EQ(*own, "VERSION=1 6 0 0");
  // The build put this program's own description and name in, beside the shared values.
  EXPECT_EQ(QueryTranslatedString(ProgramVersionResource(), "FileDescription").value_or(""),
            "USB Vantrel! protocol test");
  EXPECT_EQ(QueryTranslatedString(ProgramVersionResource(), "OriginalFilename").value_or(""),
            "protocol_test");
  EXPECT_EQ(QueryTranslatedString(ProgramVersionResource(), "ProductName").value_or(""),
            "USB Vantrel!");
}

TEST(VersionResourceTest, ShippedTextCompilesToTheExpectedTree) {
  const std::vector<std::uint8_t> blob = Compile(ShippedText());
  ASSERT_FALSE(blob.empty());
  EXPECT_EQ(VersionTextFromResource(blob).value_or(""), "VERSION=1 6 0 0");

  const auto translation = QueryFirstTranslation(blob);
  ASSERT_TRUE(translation);
  EXPECT_EQ(translation->language, 0x0409);
  EXPECT_EQ(translation->codePage, 0x04b0);
  EXPECT_EQ(TranslationKey(*translation), "040904b0");

  const auto fixed = QueryVersionValue(blob, "\\");
  ASSERT_TRUE(fixed);
  ASSERT_EQ(fixed->bytes.size(), kFixedFileInfoSize);
  auto u32 = [&](std::size_t at) {
    const auto& b = fixed->bytes;
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
  };
  EXPECT_EQ(u32(0), kFixedFileInfoSignature);
  EXPECT_EQ(u32(16), 0x00010006u);  // product version 1.6
  EXPECT_EQ(u32(20), 0x00000000u);  // .0.0

  // Keys compare without regard to case, and extra separators are harmless.
  EXPECT_EQ(QueryVersionString(blob, "\\stringfileinfo\\040904B0\\productversion").value_or(""),
            "1, 6, 0, 0");
  EXPECT_EQ(QueryVersionString(blob, "\\\\StringFileInfo\\040904b0\\CompanyName\\").value_or(""),
            "Quorrel");
}

TEST(VersionResourceTest, TheFirstTranslationChoosesTheTable) {
  const std::vector<std::uint8_t> blob = Compile(kTwoTranslations);
  EXPECT_EQ(VersionTextFromResource(blob).value_or(""), "VERSION=2 0");
}

TEST(VersionResourceTest, MissingPartsFailClearly) {
  const std::vector<std::uint8_t> noTranslation = Compile(R"(
    BEGIN
      BLOCK "StringFileInfo" { BLOCK "040904b0" { VALUE "ProductVersion", "1, 6, 0, 0" } }
    END)");
  EXPECT_EQ(VersionTextFromResource(noTranslation).error(), kErrorResourceTypeNotFound);

  const std::vector<std::uint8_t> shortTranslation = Compile(R"(
    BEGIN
      BLOCK "StringFileInfo" { BLOCK "040904b0" { VALUE "ProductVersion", "1" } }
      BLOCK "VarFileInfo" { VALUE "Translation", 0x409 }
    END)");
  EXPECT_EQ(VersionTextFromResource(shortTranslation).error(), kErrorResourceTypeNotFound);

  const std::vector<std::uint8_t> otherTable = Compile(R"(
    BEGIN
      BLOCK "StringFileInfo" { BLOCK "040704e4" { VALUE "ProductVersion", "1" } }
      BLOCK "VarFileInfo" { VALUE "Translation", 0x409, 1200 }
    END)");
  EXPECT_EQ(VersionTextFromResource(otherTable).error(), kErrorResourceTypeNotFound);

  // A binary value where a text is expected.
  const std::vector<std::uint8_t> binaryVersion = Compile(R"(
    BEGIN
      BLOCK "StringFileInfo" { BLOCK "040904b0" { VALUE "ProductVersion", 1, 6 } }
      BLOCK "VarFileInfo" { VALUE "Translation", 0x409, 1200 }
    END)");
  EXPECT_EQ(VersionTextFromResource(binaryVersion).error(), platform::kErrorInvalidData);
  EXPECT_EQ(VersionTextFromResource({}).error(), platform::kErrorInvalidData);
}

TEST(VersionResourceTest, EveryTruncationOfTheBlobIsRejected) {
  const std::vector<std::uint8_t> blob = Compile(ShippedText());
  for (std::size_t size = 0; size < blob.size(); ++size) {
    // A copy of exactly `size` bytes, so that the sanitizers see any read past it.
    const std::vector<std::uint8_t> cut(blob.begin(), blob.begin() + static_cast<long>(size));
    EXPECT_EQ(VersionTextFromResource(cut).error(), platform::kErrorInvalidData) << size;
  }
}

TEST(VersionResourceTest, LengthsThatOverrunTheirParentAreRejected) {
  std::vector<std::uint8_t> blob = Compile(ShippedText());
  // The first child ("StringFileInfo") follows the root's 24-byte header and key and its 52-byte
  // fixed information; let it claim more than the root holds.
  const std::size_t child = 24 + kFixedFileInfoSize;
  blob[child] = 0xff;
  blob[child + 1] = 0xff;
  EXPECT_EQ(VersionTextFromResource(blob).error(), platform::kErrorInvalidData);

  std::vector<std::uint8_t> badType = Compile(ShippedText());
  badType[4] = 7;
  EXPECT_EQ(VersionTextFromResource(badType).error(), platform::kErrorInvalidData);
}

TEST(VersionResourceTest, ProgramValuesReplaceOrExtendEveryTable) {
  VersionParse parse = ParseVersionInfoText(kTwoTranslations);
  ASSERT_TRUE(parse.source);
  SetStringValue(*parse.source, "FileDescription", "USB Vantrel! Server");
  SetStringValue(*parse.source, "ProductVersion", "3, 1");
  const std::vector<std::uint8_t> blob = CompileVersionResource(*parse.source).blob;
  EXPECT_EQ(QueryVersionString(blob, "\\StringFileInfo\\040904b0\\FileDescription").value_or(""),
            "USB Vantrel! Server");
  EXPECT_EQ(QueryVersionString(blob, "\\StringFileInfo\\040704e4\\FileDescription").value_or(""),
            "USB Vantrel! Server");
  EXPECT_EQ(VersionTextFromResource(blob).value_or(""), "VERSION=3 1");
}

TEST(VersionResourceTest, TextEscapesAndComments) {
  const std::vector<std::uint8_t> blob = Compile(R"(
    // a comment
    # another
    BEGIN
      BLOCK "StringFileInfo" {
        BLOCK "040904b0" {
          VALUE "ProductVersion", "say ""hi"", \\ \"x\""
        }
      }
      BLOCK "VarFileInfo" { VALUE "Translation", 0x409L, 1200 }  // trailing
    END)");
  EXPECT_EQ(VersionTextFromResource(blob).value_or(""), "VERSION=say \"hi\" \\ \"x\"");
}

struct BadText {
  std::string text;
  std::string error;
};

class VersionTextErrorTest : public ::testing::TestWithParam<BadText> {};

TEST_P(VersionTextErrorTest, NamesTheLineAndTheProblem) {
  const VersionParse parse = ParseVersionInfoText(GetParam().text);
  EXPECT_FALSE(parse.source);
  EXPECT_EQ(parse.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionTextErrorTest,
    ::testing::Values(
        BadText{"", "line 1: expected BEGIN"},
        BadText{"BEGIN\n VALUE \"a\", \"b\n END", "line 2: unterminated string"},
        BadText{"BEGIN\nBLOCK \"x\"\nBEGIN\nEND", "line 4: expected END"},
        BadText{"FILEVERSION 1,2,3\nBEGIN END", "line 2: expected ','"},
        BadText{"FILEVERSION 1,2,3,70000\nBEGIN END", "line 2: version part out of range"},
        BadText{"COLOUR 3\nBEGIN END", "line 1: unknown statement COLOUR"},
        BadText{"BEGIN VALUE \"a\" \"b\" END", "line 1: expected ','"},
        BadText{"BEGIN VALUE \"a\", 70000 END", "line 1: value word out of range"},
        BadText{"BEGIN VALUE \"a\", 99999999999 END", "line 1: number too large"},
        BadText{"BEGIN THING \"a\" END", "line 1: expected BLOCK or VALUE"},
        BadText{"BEGIN END\nEND", "line 2: text after the last END"},
        BadText{"BEGIN @ END", "line 1: unexpected character '@'"},
        BadText{"BEGIN BLOCK \"1\" { BLOCK \"2\" { BLOCK \"3\" { BLOCK \"4\" { BLOCK \"5\" { BLOCK "
                "\"6\" { BLOCK \"7\" { BLOCK \"8\" { BLOCK \"9\" { } } } } } } } } } END",
                "line 1: blocks nested too deeply"}));

TEST(VersionResourceTest, NodesLargerThanTheirLengthFieldAreRefused) {
  VersionParse parse = ParseVersionInfoText(kTwoTranslations);
  ASSERT_TRUE(parse.source);
  SetStringValue(*parse.source, "Comments", std::string(70000, 'x'));
  EXPECT_NE(CompileVersionResource(*parse.source).error, "");
}

}  // namespace
}  // namespace uv::protocol
