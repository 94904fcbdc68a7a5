// Build-time compiler of the version resource: reads its text form, applies the program's own
// values, and writes a C++ source that holds the binary resource.
//
//   uv_version_rc <VersionInfo.txt> <output.cpp> [Name=Value ...]

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "protocol/VersionResourceCompiler.h"

namespace {

bool ReadFile(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return static_cast<bool>(in) || in.eof();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: uv_version_rc <input> <output.cpp> [Name=Value ...]\n";
    return 2;
  }
  std::string text;
  if (!ReadFile(argv[1], text)) {
    std::cerr << argv[1] << ": cannot read\n";
    return 1;
  }
  uv::protocol::VersionParse parse = uv::protocol::ParseVersionInfoText(text);
  if (!parse.source) {
    std::cerr << argv[1] << ": " << parse.error << "\n";
    return 1;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string assignment = argv[i];
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::cerr << "bad value assignment: " << assignment << "\n";
      return 2;
    }
    uv::protocol::SetStringValue(*parse.source, assignment.substr(0, equals),
                                 assignment.substr(equals + 1));
  }
  const uv::protocol::VersionCompile compiled = uv::protocol::CompileVersionResource(*parse.source);
  if (!compiled.error.empty()) {
    std::cerr << argv[1] << ": " << compiled.error << "\n";
    return 1;
  }
  const std::string source = uv::protocol::EmitVersionResourceSource(compiled.blob);

  // Leave an unchanged output alone so that its program is not rebuilt for nothing.
  std::string previous;
  if (ReadFile(argv[2], previous) && previous == source) return 0;
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << source;
  out.close();
  if (!out) {
    std::cerr << argv[2] << ": cannot write\n";
    return 1;
  }
  return 0;
}
