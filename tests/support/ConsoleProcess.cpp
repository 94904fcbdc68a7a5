#include "tests/support/ConsoleProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/registry/Registry.h"

namespace uv::test {

namespace {

constexpr std::string_view kSettingsKey = "Software\\Quorrel\\USB Vantrel Server\\Settings";

std::string HostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

}  // namespace

ConsoleRoot::ConsoleRoot(platform::Ipv4Address address) : dir_("uv-console"), address_(address) {
  const auto etc = Path() / "Windows" / "System32" / "drivers" / "etc";
  std::filesystem::create_directories(etc);
  std::ofstream(etc / "hosts") << address.ToString() << " " << HostName() << "\n";
}

bool ConsoleRoot::SetDword(const std::string& name, std::uint32_t value) {
  auto registry = platform::Registry::Open(Path() / "registry.db");
  if (!registry) return false;
  auto key = platform::RegKey::Create(**registry, kSettingsKey);
  return key && key->SetDword(name, value) == platform::kErrorSuccess;
}

bool ConsoleRoot::SetString(const std::string& name, const std::string& value) {
  auto registry = platform::Registry::Open(Path() / "registry.db");
  if (!registry) return false;
  auto key = platform::RegKey::Create(**registry, kSettingsKey);
  return key && key->SetString(name, value) == platform::kErrorSuccess;
}

void ConsoleRoot::OpenForOthers() {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Path())) {
    ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
  }
  ::chmod(Path().c_str(), 0755);
}

ConsoleProcess::ConsoleProcess(const ConsoleRoot& root, Options options)
    : stderrFile_(root.Path() / ("console-stderr-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(reinterpret_cast<std::uintptr_t>(this)) + ".txt")) {
  std::vector<std::string> argv{options.program.empty() ? std::string(USBVANTREL_SERVER_PATH)
                                                        : options.program};
  for (auto& argument : options.arguments) argv.push_back(argument);
  const std::string rootText = root.Path().string();
  const std::string errText = stderrFile_.string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int err = ::open(errText.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (err >= 0) ::dup2(err, 2);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    ::setenv("USBVANTREL_ROOT", rootText.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("USBVANTREL_MSGBOX", "stderr", 1);
    ::unsetenv("USBVANTREL_TRACE");
    if (options.runAsUid) {
      ::setenv("HOME", "/tmp", 1);
      ::setenv("XDG_RUNTIME_DIR", "/tmp", 1);
      if (::setgid(*options.runAsUid) != 0 || ::setuid(*options.runAsUid) != 0) ::_exit(126);
    }
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
}

ConsoleProcess::~ConsoleProcess() {
  if (Running()) {
    Terminate();
    if (!WaitForExit(std::chrono::seconds(10))) {
      ::kill(pid_, SIGKILL);
      WaitForExit(std::chrono::seconds(10));
    }
  }
}

bool ConsoleProcess::Running() {
  if (pid_ <= 0 || exitCode_) return false;
  return !WaitForExit(std::chrono::milliseconds(0));
}

std::optional<int> ConsoleProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (exitCode_) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ConsoleProcess::Terminate() {
  if (pid_ > 0 && !exitCode_) ::kill(pid_, SIGTERM);
}

std::string ConsoleProcess::Stderr() const {
  return ReadFile(stderrFile_);
}

Peer::Peer() {
  auto socket = platform::UdpSocket::Create();
  if (!socket) return;
  socket_ = std::move(socket.value());
  (void)socket_.Bind(platform::SocketAddress{platform::Ipv4Address::Loopback(), 0});
}

bool Peer::Send(std::string_view bytes, platform::SocketAddress to) {
  return socket_.SendTo(bytes, to).ok();
}

std::optional<std::string> Peer::Receive(std::chrono::milliseconds timeout) {
  if (socket_.SetReceiveTimeout(timeout) != platform::kErrorSuccess) return std::nullopt;
  char buffer[2048];
  auto got = socket_.ReceiveFrom(std::span<char>(buffer, sizeof buffer));
  if (!got) return std::nullopt;
  return std::string(buffer, *got);
}

bool Peer::WaitUntilAnswering(platform::SocketAddress console, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Send("RUT;", console)) {
      if (auto answer = Receive(std::chrono::milliseconds(200)); answer && *answer == "IMA;") {
        return true;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  return false;
}

}  // namespace uv::test
