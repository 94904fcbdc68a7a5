#pragma once
// Thrown from a service's Run to end the service early: the service reports stopped with the two
// exit codes it carries (the Win32 exit code and the service-specific one).

#include <cstdint>
#include <exception>

namespace uv::client {

class CNTServiceTerminateException : public std::exception {
 public:
  CNTServiceTerminateException(std::uint32_t win32ExitCode, std::uint32_t serviceSpecificExitCode)
      : win32ExitCode_(win32ExitCode), serviceSpecificExitCode_(serviceSpecificExitCode) {}

  std::uint32_t Win32ExitCode() const { return win32ExitCode_; }
  std::uint32_t ServiceSpecificExitCode() const { return serviceSpecificExitCode_; }
  const char* what() const noexcept override { return "service terminated"; }

 private:
  std::uint32_t win32ExitCode_;
  std::uint32_t serviceSpecificExitCode_;
};

}  // namespace uv::client
