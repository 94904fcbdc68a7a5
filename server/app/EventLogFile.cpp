#include "server/app/EventLogFile.h"

namespace uv::server {

std::string NativeLogPath(const std::string& storedPath) {
  std::string path = storedPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool AppendLogLine(const std::string& storedPath, std::string_view line) {
  const std::string path = NativeLogPath(storedPath);
  if (path.empty()) return false;
  return platform::AppendToFile(path, line, kLogHeader) == platform::kErrorSuccess;
}

bool EventLogFile::Append(const std::string& storedPath, std::string_view line) {
  if (storedPath != storedPath_) {
    storedPath_ = storedPath;
    native_ = NativeLogPath(storedPath);
  }
  if (native_.empty()) {
    file_.Close();
    return false;
  }
  return file_.Append(native_, line, kLogHeader) == platform::kErrorSuccess;
}

}  // namespace uv::server
