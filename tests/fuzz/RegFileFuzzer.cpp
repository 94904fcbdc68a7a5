// The registry editor files that `usbvantrel-reg import` reads: any bytes are either refused with
// a line number or parsed into keys and values that hold only what the file said, with each
// skipped line named by its number and a reason.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/fuzz/FuzzCheck.h"
#include "tools/usbvantrel-reg/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const uv::tools::RegFileParse parse = uv::tools::ParseRegFile(text);
  if (!parse.ok) {
    UV_FUZZ_CHECK(parse.errorLine >= 1);
    UV_FUZZ_CHECK(!parse.error.empty());
    return 0;
  }
  for (const auto& skip : parse.skipped) {
    UV_FUZZ_CHECK(skip.line >= 2 && skip.line <= size + 1);
    UV_FUZZ_CHECK(!skip.why.empty());
  }
  for (const auto& key : parse.keys) {
    UV_FUZZ_CHECK(key.path.size() <= size);
    for (const auto& value : key.values) {
      UV_FUZZ_CHECK(value.name.size() <= size);
      // A value's bytes come from the file: never more than twice its size (UTF-16 input
      // narrows, hex pairs shrink, texts gain one terminator per line at most).
      UV_FUZZ_CHECK(value.value.data.size() <= 2 * size + 2);
    }
  }
  return 0;
}
