#pragma once

// One numeric field of a process's status file (/proc/<pid>/status): "VmRSS" and "VmHWM" in
// KiB, "Threads" as a count. For benchmarks that report memory and threads.

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace uv::test {

// The field of the process `pid` ("self" for this one), or -1 when it cannot be read.
inline long ProcessStatusField(std::string_view field, const std::string& pid = "self") {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

}  // namespace uv::test
