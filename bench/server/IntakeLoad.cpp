// End-to-end intake throughput of the console: event reports sent as datagrams to a running
// USBVantrelServer (offscreen, logging on), counted as lines of its log file. The same datagrams
// go to rsyslog (imudp -> omfile, started here with its own configuration on a loopback port) for
// a reference figure.
//
//   server_intake_load [--console <path>] [--rsyslogd <path>] [--seconds N] [--rates r1,r2,...]
//                      [--smtp ADDRESS:PORT]
//
// --smtp switches the console's mail on (every event mailed, through the mail queue) to that
// SMTP server: point it at a closed port or a silent server to see that intake does not depend
// on the mail.
//
// For each sender count (1 and 4) and each paced rate it sends rate x seconds reports and reports
// how many arrived; then it sends as fast as it can and reports the rate that arrived. Every
// figure is taken for the console and right after it for rsyslog, and the run ends with the
// ratio of the two flat-out rates (--runs repeats the whole set).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/Socket.h"
#include "tests/support/ConsoleProcess.h"

namespace fs = std::filesystem;
using namespace uv::platform;
using Clock = std::chrono::steady_clock;

namespace {

// rsyslogd, stopped (SIGTERM, then SIGKILL) when the benchmark ends.
struct Child {
  pid_t pid = -1;
  ~Child() { Stop(); }
  void Stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    pid = -1;
  }
};

pid_t Spawn(std::vector<std::string> argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// Lines in a file that only grows, counted from where the last count stopped: the polling must
// not read the whole file (tens of megabytes by the end) every few milliseconds, or it takes the
// processor from the very programs it measures.
class LineCounter {
 public:
  explicit LineCounter(fs::path file) : file_(std::move(file)) {}
  std::size_t Count() {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return lines_;
    in.seekg(0, std::ios::end);
    if (static_cast<std::uint64_t>(in.tellg()) < offset_) offset_ = lines_ = 0;  // replaced
    in.seekg(static_cast<std::streamoff>(offset_));
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      for (std::streamsize i = 0; i < in.gcount(); ++i) lines_ += buffer[i] == '\n';
      offset_ += static_cast<std::uint64_t>(in.gcount());
    }
    return lines_;
  }

 private:
  fs::path file_;
  std::uint64_t offset_ = 0;
  std::size_t lines_ = 0;
};

// The one-minute load average, to print beside each run's figures: on a shared machine the
// absolute rates mean little without it.
std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string oneMinute;
  in >> oneMinute;
  return oneMinute.empty() ? "?" : oneMinute;
}

// Sends `total` reports from `senders` threads, paced at `rate` per second overall (0 = as fast
// as possible). Returns the seconds the sending took.
double Send(SocketAddress to, std::size_t total, int senders, double rate, std::size_t offset) {
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([=] {
      auto socket = UdpSocket::Create();
      if (!socket) return;
      (void)socket->Bind(SocketAddress{Ipv4Address::Loopback(), 0});
      const std::size_t mine = total / static_cast<std::size_t>(senders);
      const double perSecond = rate / senders;
      char text[256];
      for (std::size_t i = 0; i < mine; ++i) {
        if (rate > 0 && i % 16 == 0) {
          std::this_thread::sleep_until(
              start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(static_cast<double>(i) / perSecond)));
        }
        const int n =
            std::snprintf(text, sizeof text,
                          "VERSION=1 6 0 0,07/03/2009,14:05:09,PC%02d\\user1,192.168.1.%d,"
                          "Added E:\\bench\\file%zu.txt",
                          s, 20 + s, offset + i);
        (void)socket->SendTo(std::string_view(text, static_cast<std::size_t>(n)), to);
      }
    });
  }
  for (auto& t : threads) t.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits until the file's line count reaches `expected` or stops growing for a while.
std::pair<std::size_t, double> WaitForLines(LineCounter& file, std::size_t expected,
                                            Clock::time_point since) {
  std::size_t last = 0;
  auto lastChange = Clock::now();
  double lastTime = 0;
  for (;;) {
    const std::size_t now = file.Count();
    if (now != last) {
      last = now;
      lastChange = Clock::now();
      lastTime = std::chrono::duration<double>(lastChange - since).count();
    }
    if (now >= expected) break;
    if (Clock::now() - lastChange > std::chrono::milliseconds(1500)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return {last, lastTime};
}

struct Target {
  std::string name;
  SocketAddress address;
  fs::path file;
  std::size_t headerLines = 0;
};

struct Outcome {
  std::size_t sent = 0;
  std::size_t arrived = 0;
  double perSecond = 0;  // arrived over the time until the last of them was in the file
};

Outcome RunOne(const Target& target, LineCounter& lines, int senders, double rate, double seconds,
               std::size_t& offset) {
  const std::size_t total = rate > 0 ? static_cast<std::size_t>(rate * seconds) / 4 * 4 : 200000;
  const std::size_t before = lines.Count();
  const auto start = Clock::now();
  const double sendSeconds = Send(target.address, total, senders, rate, offset);
  offset += total;
  auto [after, took] = WaitForLines(lines, before + total, start);
  // The console writes its header line into the file it creates.
  const std::size_t header = before == 0 ? target.headerLines : 0;
  const std::size_t arrived = after - before - std::min(after - before, header);
  const Outcome outcome{total, arrived, took > 0 ? static_cast<double>(arrived) / took : 0.0};
  std::printf(
      "%-9s senders=%d rate=%-8s sent=%-7zu arrived=%-7zu lost=%-6zu send=%.2fs "
      "arrived/s=%.0f\n",
      target.name.c_str(), senders,
      rate > 0 ? std::to_string(static_cast<int>(rate)).c_str() : "max", total, arrived,
      total - std::min(total, arrived), sendSeconds, outcome.perSecond);
  std::fflush(stdout);
  return outcome;
}

// Each sender count and rate goes to the console and then to rsyslog, one right after the
// other, so that both see the machine in the same state; the flat-out rates are then compared.
void Run(const Target& console, const Target& rsyslog, const std::vector<double>& rates,
         double seconds, int runs) {
  std::size_t consoleOffset = 0;
  std::size_t rsyslogOffset = 0;
  LineCounter consoleLines(console.file);
  LineCounter rsyslogLines(rsyslog.file);
  struct Ratio {
    int run;
    int senders;
    double console;
    double rsyslog;
    std::string load;  // the load average when the pair was taken
  };
  std::vector<Ratio> ratios;
  for (int run = 1; run <= runs; ++run) {
    for (int senders : {1, 4}) {
      for (double rate : rates) {
        const Outcome c = RunOne(console, consoleLines, senders, rate, seconds, consoleOffset);
        const Outcome r = RunOne(rsyslog, rsyslogLines, senders, rate, seconds, rsyslogOffset);
        if (rate <= 0) ratios.push_back({run, senders, c.perSecond, r.perSecond, LoadAverage()});
      }
    }
  }
  for (const Ratio& r : ratios) {
    std::printf(
        "flat out  run=%d senders=%d console=%.0f/s rsyslog=%.0f/s console/rsyslog=%.2f "
        "load=%s\n",
        r.run, r.senders, r.console, r.rsyslog, r.rsyslog > 0 ? r.console / r.rsyslog : 0.0,
        r.load.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string console;  // empty: the console of this build
  std::string rsyslogd = "/usr/sbin/rsyslogd";
  double seconds = 3;
  int runs = 1;
  std::vector<double> rates{10000, 20000, 30000, 0};
  std::string smtp;
  static constexpr const char* kUsage =
      "usage: server_intake_load [--console PATH] [--rsyslogd PATH] [--seconds S]\n"
      "                          [--rates R1,R2,...] [--smtp HOST:PORT] [--runs N]\n"
      "Sends event datagrams to a console and to rsyslogd on loopback at each rate (events/s;\n"
      "0 or max = as fast as possible) for S seconds each and reports how many arrived; each\n"
      "rate goes to both, one after the other, N times over, and the flat-out rates are\n"
      "compared at the end (console/rsyslog).\n";
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool known = flag == "--console" || flag == "--rsyslogd" || flag == "--seconds" ||
                       flag == "--rates" || flag == "--smtp" || flag == "--runs";
    if (!known || i + 1 >= argc) {
      std::fprintf(stderr, "server_intake_load: bad option %s\n%s", flag.c_str(), kUsage);
      return 2;
    }
    ++i;  // its value
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--console") console = argv[i + 1];
    if (flag == "--rsyslogd") rsyslogd = argv[i + 1];
    if (flag == "--smtp") smtp = argv[i + 1];
    if (flag == "--seconds") seconds = std::atof(argv[i + 1]);
    if (flag == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--rates") {
      rates.clear();
      std::stringstream list(argv[i + 1]);
      for (std::string item; std::getline(list, item, ',');)
        rates.push_back(std::atof(item.c_str()));
    }
  }

  const Ipv4Address consoleAddress(127, 0, 0, 200);
  const Ipv4Address rsyslogAddress(127, 0, 0, 201);
  const std::uint16_t rsyslogPort = 5514;

  // The console's machine: its own loopback address, logging on.
  std::optional<uv::test::ConsoleRoot> consoleRoot;
  try {
    consoleRoot.emplace(consoleAddress);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "server_intake_load: %s\n", error.what());
    return 1;
  }
  const fs::path root = consoleRoot->Path();
  const fs::path consoleLog = root / "console.log";
  bool stored = consoleRoot->SetDword("EnableLog", 1) &&
                consoleRoot->SetString("LogFilePath", consoleLog.string());
  if (const std::size_t colon = smtp.rfind(':'); stored && colon != std::string::npos) {
    stored = consoleRoot->SetDword("SendMail", 1) &&
             consoleRoot->SetString("MailTo", "admin@corp.test") &&
             consoleRoot->SetString("MailFrom", "console@corp.test") &&
             consoleRoot->SetString("ServerIP", smtp.substr(0, colon)) &&
             consoleRoot->SetString("SMTPPort", smtp.substr(colon + 1));
  }
  if (!stored) {
    std::fprintf(stderr, "server_intake_load: cannot store the console's settings\n");
    return 1;
  }

  // rsyslog with its own configuration: UDP in on a loopback port, one file out.
  const fs::path rsyslogDir = root / "rsyslog";
  fs::create_directories(rsyslogDir);
  const fs::path rsyslogLog = rsyslogDir / "messages.log";
  const fs::path conf = rsyslogDir / "rsyslog.conf";
  std::ofstream(conf) << "global(workDirectory=\"" << rsyslogDir.string() << "\")\n"
                      << "module(load=\"imudp\")\n"
                      << "input(type=\"imudp\" address=\"" << rsyslogAddress.ToString()
                      << "\" port=\"" << rsyslogPort << "\")\n"
                      << "*.* action(type=\"omfile\" file=\"" << rsyslogLog.string() << "\")\n";

  uv::test::ConsoleProcess::Options options;
  options.program = console;
  std::optional<uv::test::ConsoleProcess> consoleProcess;
  consoleProcess.emplace(*consoleRoot, options);
  Child rsyslogProcess;
  rsyslogProcess.pid =
      Spawn({rsyslogd, "-n", "-f", conf.string(), "-i", (rsyslogDir / "pid").string()});

  // Wait for both to listen.
  if (!uv::test::Peer().WaitUntilAnswering(consoleRoot->EventPort(), std::chrono::seconds(20))) {
    std::fprintf(stderr, "console did not answer\n%s", consoleProcess->Stderr().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // rsyslog has no probe

  Run(Target{"console", consoleRoot->EventPort(), consoleLog, 1},
      Target{"rsyslog", SocketAddress{rsyslogAddress, rsyslogPort}, rsyslogLog, 0}, rates, seconds,
      runs);

  consoleProcess.reset();  // ends the console before its root goes
  rsyslogProcess.Stop();
  return 0;
}
