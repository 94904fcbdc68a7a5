#pragma once
// The client agent's application object: process start (version text, journal paths, the
// service host carrying out the command line) and exit.
//
// Thread affinity: the main thread.

#include <cstdint>
#include <string>
#include <vector>

namespace uv::agent {

class CNewOrmClientApp {
 public:
  // Runs the program: for a start by the service manager this returns when the service has
  // stopped. Always false: the program ends when the service host returns.
  bool InitInstance(const std::vector<std::string>& args);
  // Traces the exit; the process's exit code.
  int ExitInstance();

 private:
  std::uint32_t exitCode_ = 0;
};

}  // namespace uv::agent
