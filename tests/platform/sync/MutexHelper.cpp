// Test helper: holds a named mutex of a machine root for another process to look at.
//
//   uv_sync_mutex_helper ROOT NAME create|create-owned|open
//
// Prints one line: "created", "existed" or "notfound" (then exits 3), followed by " owned" when
// it owns the mutex. Then, for every line read from stdin: "release" releases ownership and
// answers "released"; "wait" takes ownership and answers "owned". It exits at the end of stdin,
// closing its handle.

#include <iostream>
#include <string>

#include "platform/machine/Machine.h"
#include "platform/sync/NamedMutex.h"

int main(int argc, char** argv) {
  using namespace uv::platform;
  if (argc != 4) return 2;
  Machine machine(argv[1]);
  const std::string mode = argv[3];
  Result<NamedMutex> mutex = mode == "open"
                                 ? NamedMutex::OpenExisting(machine, argv[2])
                                 : NamedMutex::Create(machine, argv[2], mode == "create-owned");
  if (!mutex) {
    std::cout << (mutex.error() == kErrorFileNotFound ? "notfound" : "error") << std::endl;
    return 3;
  }
  std::cout << (mode == "open"            ? "opened"
                : mutex->AlreadyExisted() ? "existed"
                                          : "created")
            << (mutex->Owns() ? " owned" : "") << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "release") {
      std::cout << (mutex->Release() == kErrorSuccess ? "released" : "not-owner") << std::endl;
    } else if (line == "wait") {
      auto result = mutex->Wait();
      std::cout << (result.ok() ? "owned" : "error") << std::endl;
    }
  }
  return 0;
}
