// Kept apart from VersionText.cpp: only a program that asks for its own version needs a compiled
// version resource to link.
#include "protocol/VersionText.h"

namespace uv::protocol {

platform::Result<std::string> OwnVersionText() {
  return VersionTextFromResource(ProgramVersionResource());
}

}  // namespace uv::protocol
