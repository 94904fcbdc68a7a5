// Runs a fuzz target over inputs without libFuzzer: every file named on the command line and
// every file in a directory named there (in name order). Without arguments it runs a few fixed
// inputs. A crash or sanitizer report fails the run like it fails a fuzzer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void RunBytes(const std::string& bytes) {
  // A copy of exactly the input's size, so that reading one byte past it is caught.
  const std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  (void)LLVMFuzzerTestOneInput(input.data(), input.size());
}

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << path << "\n";
    return false;
  }
  RunBytes(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  if (argc < 2) {
    for (const std::string& seed : {std::string(), std::string(1, '\0'), std::string(4096, 'A'),
                                    std::string("0006SET;1;"), std::string("VERSION=1,a,b")}) {
      RunBytes(seed);
      ++runs;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      if (files.empty()) {
        std::cerr << "no inputs in " << path << "\n";
        return 1;
      }
      for (const auto& file : files) {
        if (!RunFile(file)) return 1;
        ++runs;
      }
    } else {
      if (!RunFile(path)) return 1;
      ++runs;
    }
  }
  std::cout << "ran " << runs << " inputs\n";
  return 0;
}
