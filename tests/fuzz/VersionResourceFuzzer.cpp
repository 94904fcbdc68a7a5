// The version resource query on arbitrary blobs, and the text form through the compiler: a text
// that compiles must give a blob the query reads back.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/VersionResource.h"
#include "protocol/VersionResourceCompiler.h"
#include "protocol/VersionText.h"
#include "tests/fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace uv::protocol;
  const std::span<const std::uint8_t> blob(data, size);
  for (const std::string_view path :
       {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904b0\\ProductVersion",
        "\\StringFileInfo", "\\a\\b\\c\\d\\e"}) {
    const auto value = QueryVersionValue(blob, path);
    if (value && !value->bytes.empty()) {
      UV_FUZZ_CHECK(value->bytes.data() >= data &&
                    value->bytes.data() + value->bytes.size() <= data + size);
    }
  }
  (void)VersionTextFromResource(blob);

  const VersionParse parse =
      ParseVersionInfoText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parse.source) {
    const VersionCompile compiled = CompileVersionResource(*parse.source);
    if (compiled.error.empty()) {
      const auto fixed = QueryVersionValue(compiled.blob, "\\");
      UV_FUZZ_CHECK(fixed.ok() && fixed->bytes.size() == kFixedFileInfoSize);
    }
  }
  return 0;
}
