#include "platform/pnp/DeviceNotifier.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "platform/common/FileWrite.h"
#include "platform/common/KeyValueText.h"
#include "platform/machine/Machine.h"
#include "platform/pnp/DeviceHandle.h"
#include "platform/pnp/DeviceState.h"
#include "platform/pnp/VolumeDriveResolver.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"
#include "platform/trace/Trace.h"

namespace uv::platform {

namespace {

constexpr std::size_t kMaxDatagram = 8192;

std::string NotifyDirectory(const Machine& machine) {
  return (machine.RunDirectory() / "pnp" / "notify").string();
}

std::uint64_t RandomU64() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

std::string Hex(std::uint64_t value) {
  char buffer[17];
  auto [end, ec] = std::to_chars(buffer, buffer + 16, value, 16);
  (void)ec;
  return std::string(buffer, end);
}

template <class T>
std::optional<T> ParseNumber(std::string_view text, int base = 10) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Parses an optional field; false when it is missing or not a number.
template <class T>
bool ParseInto(const std::string* text, T& out) {
  if (!text) return false;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), out);
  return !text->empty() && ec == std::errc() && end == text->data() + text->size();
}

// A file name we created ourselves in the notify directory: letters, digits, '-', '.'.
bool IsPlainName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
  });
}

// sun_path holds 108 bytes; a machine root can be longer. Going through the directory's
// descriptor keeps every socket address short whatever the root.
bool MakeAddress(int dirFd, std::string_view name, sockaddr_un& address, socklen_t& length) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + std::string(name);
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

UniqueFd OpenDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return UniqueFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Key=value lines; a line without '=' or a repeated key makes the whole text invalid.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseFields(std::string_view text) {
  const KeyValueLines lines = ParseKeyValueLines(text);
  if (lines.badLines != 0 || lines.repeatedKey) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> fields;
  fields.reserve(lines.entries.size());
  for (const auto& [key, value] : lines.entries) fields.emplace_back(key, value);
  return fields;
}

const std::string* Field(const std::vector<std::pair<std::string, std::string>>& fields,
                         std::string_view key) {
  for (const auto& f : fields)
    if (f.first == key) return &f.second;
  return nullptr;
}

std::string EncodeRecordText(const DeviceBroadcast& r) {
  std::string out = "type=" + std::to_string(r.devicetype) + "\n";
  switch (r.devicetype) {
    case kDbtDevtypDeviceInterface:
      out +=
          "class=" + r.deviceInterface.classGuid.text + "\nname=" + r.deviceInterface.name + "\n";
      break;
    case kDbtDevtypVolume:
      out += "unitmask=" + std::to_string(r.volume.unitmask) +
             "\nflags=" + std::to_string(r.volume.flags) + "\n";
      break;
    case kDbtDevtypHandle:
      out += "handle=" + std::to_string(r.handle.handle) +
             "\nnotify=" + std::to_string(r.handle.hdevnotify) + "\n";
      break;
    default:
      break;
  }
  return out;
}

std::optional<DeviceBroadcast> DecodeRecordFields(
    const std::vector<std::pair<std::string, std::string>>& fields) {
  const std::string* type = Field(fields, "type");
  if (!type) return std::nullopt;
  auto devicetype = ParseNumber<std::uint32_t>(*type);
  if (!devicetype) return std::nullopt;
  DeviceBroadcast r;
  r.devicetype = *devicetype;
  switch (r.devicetype) {
    case kDbtDevtypDeviceInterface: {
      const std::string* cls = Field(fields, "class");
      const std::string* name = Field(fields, "name");
      if (!cls || !name || name->size() > kMaxBroadcastName) return std::nullopt;
      auto guid = ParseClassGuid(*cls);
      if (!guid) return std::nullopt;
      r.deviceInterface.classGuid = *guid;
      r.deviceInterface.name = *name;
      return r;
    }
    case kDbtDevtypVolume: {
      const std::string* mask = Field(fields, "unitmask");
      const std::string* flags = Field(fields, "flags");
      if (!ParseInto(mask, r.volume.unitmask) || !ParseInto(flags, r.volume.flags) ||
          (r.volume.unitmask >> 26) != 0)
        return std::nullopt;
      return r;
    }
    case kDbtDevtypHandle: {
      const std::string* handle = Field(fields, "handle");
      const std::string* notify = Field(fields, "notify");
      if (!ParseInto(handle, r.handle.handle) || !ParseInto(notify, r.handle.hdevnotify) ||
          r.handle.hdevnotify == 0)
        return std::nullopt;
      return r;
    }
    default:
      return std::nullopt;
  }
}

std::string ProgramName() {
  std::string name;
  UniqueFd fd(::open("/proc/self/comm", O_RDONLY | O_CLOEXEC));
  if (fd && ReadAll(fd.get(), name) == 0) {
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  }
  return name.empty() ? std::string("unknown") : name;
}

// One registration, as kept in memory by the notifier and in its .regs file for broadcasters.
struct Registration {
  DeviceNotifyHandle id = 0;
  bool isHandle = false;
  DeviceClassGuid interfaceClass;  // !isHandle
  std::uint64_t holdId = 0;        // isHandle
  std::string deviceId;            // isHandle
};

std::string RegistrationsText(std::uint32_t pid, const std::string& program,
                              const std::vector<Registration>& regs) {
  std::string out = "pid\t" + std::to_string(pid) + "\nprogram\t" + program + "\n";
  for (const auto& r : regs) {
    if (r.isHandle)
      out += "handle\t" + std::to_string(r.id) + "\t" + std::to_string(r.holdId) + "\t" +
             r.deviceId + "\n";
    else
      out += "iface\t" + std::to_string(r.id) + "\t" + r.interfaceClass.text + "\n";
  }
  return out;
}

struct RecipientFile {
  std::string base;  // "r<pid>-<hex>"
  std::uint32_t pid = 0;
  std::string program;
  std::vector<Registration> regs;
};

void ParseRegistrations(std::string_view text, RecipientFile& out) {
  for (std::string_view line : SplitLines(text)) {
    const std::vector<std::string_view> parts = SplitFields(line, '\t');
    if (parts[0] == "pid" && parts.size() == 2) {
      out.pid = ParseNumber<std::uint32_t>(parts[1]).value_or(0);
    } else if (parts[0] == "program" && parts.size() == 2) {
      out.program = std::string(parts[1]);
    } else if (parts[0] == "iface" && parts.size() == 3) {
      auto id = ParseNumber<std::uint64_t>(parts[1]);
      auto guid = ParseClassGuid(parts[2]);
      if (id && guid) out.regs.push_back({*id, false, *guid, 0, {}});
    } else if (parts[0] == "handle" && parts.size() == 4) {
      auto id = ParseNumber<std::uint64_t>(parts[1]);
      auto hold = ParseNumber<std::uint64_t>(parts[2]);
      if (id && hold) out.regs.push_back({*id, true, {}, *hold, std::string(parts[3])});
    }
  }
}

std::vector<RecipientFile> ReadRecipients(const std::string& dir) {
  std::vector<RecipientFile> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() < 6 || name[0] != 'r' || !name.ends_with(".sock")) continue;
    RecipientFile r;
    r.base = std::string(name.substr(0, name.size() - 5));
    UniqueFd fd(::open((dir + "/" + r.base + ".regs").c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    std::string text;
    // A registration list is a few lines per registration; anything far larger is not ours.
    if (fd && ::fstat(fd.get(), &st) == 0 && st.st_size <= (1 << 20) &&
        ReadAll(fd.get(), text) == 0)
      ParseRegistrations(text, r);
    out.push_back(std::move(r));
  }
  ::closedir(d);
  // Directory order is arbitrary; a stable order keeps deliveries reproducible.
  std::sort(out.begin(), out.end(),
            [](const RecipientFile& a, const RecipientFile& b) { return a.base < b.base; });
  return out;
}

// Writes `text` to dir/name through a temporary and a rename, so readers see old or new.
WinError ReplaceFile(const std::string& dir, const std::string& name, std::string_view text) {
  return WriteFileAtomically(std::filesystem::path(dir) / name, text);
}

}  // namespace

std::vector<std::uint8_t> EncodeDeviceBroadcast(const DeviceBroadcast& record) {
  const std::string text = EncodeRecordText(record);
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::optional<DeviceBroadcast> DecodeDeviceBroadcast(std::span<const std::uint8_t> payload) {
  if (payload.size() > kMaxDatagram) return std::nullopt;
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  auto fields = ParseFields(text);
  if (!fields) return std::nullopt;
  return DecodeRecordFields(*fields);
}

// ---------------------------------------------------------------------------------------------
// Recipient

class DeviceNotifier::Impl {
 public:
  Impl(std::string dir, UniqueFd dirFd, std::string base, UniqueFd sock, UniqueFd wake,
       MessageWindow::Handle window)
      : dir_(std::move(dir)),
        dirFd_(std::move(dirFd)),
        base_(std::move(base)),
        sock_(std::move(sock)),
        wake_(std::move(wake)),
        window_(std::move(window)),
        program_(ProgramName()),
        nextId_((RandomU64() & 0x0000FFFFFFFF0000ull) | 1) {}

  ~Impl() {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
    if (listener_.joinable()) listener_.join();
    ::unlink((dir_ + "/" + base_ + ".regs").c_str());
    ::unlink((dir_ + "/" + base_ + ".sock").c_str());
  }

  void Start() {
    listener_ = std::thread([this] { Listen(); });
  }

  Result<DeviceNotifyHandle> Add(Registration reg) {
    std::lock_guard lock(mutex_);
    reg.id = nextId_++;
    regs_.push_back(reg);
    if (WinError e = WriteRegsLocked(); e != kErrorSuccess) {
      regs_.pop_back();
      return Result<DeviceNotifyHandle>::Failure(e);
    }
    return reg.id;
  }

  WinError Remove(DeviceNotifyHandle id) {
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(regs_.begin(), regs_.end(), [&](const Registration& r) { return r.id == id; });
    if (it == regs_.end() || id == 0) return kErrorInvalidHandle;
    regs_.erase(it);
    return WriteRegsLocked();
  }

 private:
  WinError WriteRegsLocked() {
    return ReplaceFile(dir_, base_ + ".regs",
                       RegistrationsText(static_cast<std::uint32_t>(::getpid()), program_, regs_));
  }

  // Still wanted? A registration removed after the broadcaster read the file is not delivered.
  bool Wanted(const DeviceBroadcast& r) {
    std::lock_guard lock(mutex_);
    switch (r.devicetype) {
      case kDbtDevtypVolume:
        return true;
      case kDbtDevtypDeviceInterface:
        return std::any_of(regs_.begin(), regs_.end(), [&](const Registration& g) {
          return !g.isHandle && g.interfaceClass == r.deviceInterface.classGuid;
        });
      case kDbtDevtypHandle:
        return std::any_of(regs_.begin(), regs_.end(), [&](const Registration& g) {
          return g.isHandle && g.id == r.handle.hdevnotify;
        });
      default:
        return false;
    }
  }

  void Listen() noexcept {
    try {
      std::vector<char> buffer(kMaxDatagram + 1);
      while (true) {
        pollfd fds[2] = {{sock_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          Trace("\npnp: notification listener poll failed");
          return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        const ssize_t n = ::recv(sock_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) continue;
        if (static_cast<std::size_t>(n) > kMaxDatagram) continue;  // not one of ours
        Handle(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
      }
    } catch (...) {
      Trace("\npnp: notification listener ended by an exception");
    }
  }

  void Handle(std::string_view text) {
    auto fields = ParseFields(text);
    if (!fields) return;
    const std::string* eventText = Field(*fields, "event");
    std::uint32_t event = 0;
    if (!ParseInto(eventText, event)) return;
    auto record = DecodeRecordFields(*fields);
    if (!record) return;
    const std::string* reply = Field(*fields, "reply");
    const std::string* seq = Field(*fields, "seq");
    const bool wanted = Wanted(*record);
    std::intptr_t answer = 1;  // TRUE
    const auto payload = EncodeDeviceBroadcast(*record);
    if (reply) {
      if (wanted) {
        auto result = window_.SendTimeout(DeviceNotifier::kQueryAnswerTimeout, kWmDeviceChange,
                                          event, 0, payload);
        if (result) answer = *result;
      }
      if (seq && IsPlainName(*reply) && (*reply)[0] == 'q') {
        const std::string answerText = "seq=" + *seq + "\nresult=" + std::to_string(answer) + "\n";
        sockaddr_un address{};
        socklen_t length = 0;
        if (MakeAddress(dirFd_.get(), *reply, address, length))
          (void)::sendto(sock_.get(), answerText.data(), answerText.size(), MSG_DONTWAIT,
                         reinterpret_cast<const sockaddr*>(&address), length);
      }
    } else if (wanted) {
      (void)window_.Post(kWmDeviceChange, event, 0, payload);
    }
  }

  const std::string dir_;
  const UniqueFd dirFd_;
  const std::string base_;
  const UniqueFd sock_;
  const UniqueFd wake_;
  const MessageWindow::Handle window_;
  const std::string program_;
  std::mutex mutex_;  // guards regs_, nextId_ and the .regs file
  std::vector<Registration> regs_;
  DeviceNotifyHandle nextId_;
  std::thread listener_;  // owned; joined by the destructor
};

DeviceNotifier::DeviceNotifier(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DeviceNotifier::~DeviceNotifier() = default;

Result<std::unique_ptr<DeviceNotifier>> DeviceNotifier::Create(Machine& machine,
                                                               MessageWindow::Handle window) {
  using R = Result<std::unique_ptr<DeviceNotifier>>;
  if (!window.IsValid()) return R::Failure(kErrorInvalidHandle);
  const std::string dir = NotifyDirectory(machine);
  UniqueFd dirFd = OpenDirectory(dir);
  if (!dirFd) return R::Failure(ErrnoToWinError(errno));
  UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) return R::Failure(ErrnoToWinError(errno));
  // Enough room for bursts (a plug is three to five datagrams per recipient).
  const int bufferSize = 256 * 1024;
  (void)::setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  const std::string base = "r" + std::to_string(::getpid()) + "-" + Hex(RandomU64());
  sockaddr_un address{};
  socklen_t length = 0;
  if (!MakeAddress(dirFd.get(), base + ".sock", address, length))
    return R::Failure(kErrorInvalidName);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
    return R::Failure(ErrnoToWinError(errno));
  UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) {
    ::unlink((dir + "/" + base + ".sock").c_str());
    return R::Failure(ErrnoToWinError(errno));
  }
  auto impl = std::make_unique<Impl>(dir, std::move(dirFd), base, std::move(sock), std::move(wake),
                                     std::move(window));
  impl->Start();
  return std::unique_ptr<DeviceNotifier>(new DeviceNotifier(std::move(impl)));
}

Result<DeviceNotifyHandle> DeviceNotifier::RegisterInterfaceClass(
    const DeviceClassGuid& interfaceClass) {
  auto guid = ParseClassGuid(interfaceClass.text);
  if (!guid) return Result<DeviceNotifyHandle>::Failure(kErrorInvalidParameter);
  return impl_->Add({0, false, *guid, 0, {}});
}

Result<DeviceNotifyHandle> DeviceNotifier::RegisterHandle(const HandleHold& hold) {
  if (!hold.IsHeld() || hold.DeviceId().empty())
    return Result<DeviceNotifyHandle>::Failure(kErrorInvalidHandle);
  return impl_->Add({0, true, {}, hold.Id(), hold.DeviceId()});
}

Result<DeviceNotifyHandle> DeviceNotifier::RegisterHandle(const IVolumeHold* hold) {
  const auto* volumeHold = dynamic_cast<const VolumeHold*>(hold);
  if (!volumeHold) return Result<DeviceNotifyHandle>::Failure(kErrorInvalidHandle);
  return RegisterHandle(volumeHold->Hold());
}

WinError DeviceNotifier::Unregister(DeviceNotifyHandle handle) {
  return impl_->Remove(handle);
}

// ---------------------------------------------------------------------------------------------
// Broadcaster

namespace {

struct Sender {
  std::string dir;
  UniqueFd dirFd;
  UniqueFd sock;
  std::string replyName;  // bound reply socket, when answers are awaited
  std::uint32_t* staleRemoved;

  // false when the recipient is gone (its files are then removed) or did not take the datagram.
  bool Send(const std::string& base, std::string_view datagram) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeAddress(dirFd.get(), base + ".sock", address, length)) return false;
    if (::sendto(sock.get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), length) >= 0)
      return true;
    if (errno == ECONNREFUSED || errno == ENOENT) {
      // Nobody listens on it any more: its process ended without cleaning up.
      ::unlink((dir + "/" + base + ".sock").c_str());
      ::unlink((dir + "/" + base + ".regs").c_str());
      ++*staleRemoved;
    }
    // EAGAIN: the recipient is not reading; it loses this broadcast rather than stall us.
    return false;
  }
};

std::optional<Sender> OpenSender(const std::string& dir, bool awaitAnswers,
                                 std::uint32_t* staleRemoved) {
  Sender s{dir,
           OpenDirectory(dir),
           UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
           {},
           staleRemoved};
  if (!s.dirFd || !s.sock) return std::nullopt;
  if (awaitAnswers) {
    s.replyName = "q" + std::to_string(::getpid()) + "-" + Hex(RandomU64()) + ".sock";
    sockaddr_un address{};
    socklen_t length = 0;
    if (!MakeAddress(s.dirFd.get(), s.replyName, address, length) ||
        ::bind(s.sock.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
      return std::nullopt;
  }
  return s;
}

// Collects answers until `expected` arrived or the deadline passed; returns the answers.
std::vector<std::pair<std::uint64_t, std::intptr_t>> CollectAnswers(
    Sender& s, std::size_t expected, std::chrono::milliseconds timeout) {
  std::vector<std::pair<std::uint64_t, std::intptr_t>> answers;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[256];
  while (answers.size() < expected) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{s.sock.get(), POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t n = ::recv(s.sock.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) continue;
    auto fields = ParseFields(std::string_view(buffer, static_cast<std::size_t>(n)));
    if (!fields) continue;
    const std::string* seq = Field(*fields, "seq");
    const std::string* result = Field(*fields, "result");
    std::uint64_t sq = 0;
    std::intptr_t rs = 0;
    if (ParseInto(seq, sq) && ParseInto(result, rs)) answers.emplace_back(sq, rs);
  }
  ::unlink((s.dir + "/" + s.replyName).c_str());
  return answers;
}

std::string Datagram(std::uint32_t event, const DeviceBroadcast& record) {
  return "event=" + std::to_string(event) + "\n" + EncodeRecordText(record);
}

bool WantsInterface(const RecipientFile& recipient, const DeviceClassGuid& interfaceClass) {
  return std::any_of(recipient.regs.begin(), recipient.regs.end(), [&](const Registration& g) {
    return !g.isHandle && g.interfaceClass == interfaceClass;
  });
}

// Calls visit(recipient, record) for every handle registered on one of `deviceIds`, with the
// broadcast record that names that handle.
template <class Visit>
void ForEachHandleOn(const std::string& dir, const std::vector<std::string>& deviceIds,
                     Visit&& visit) {
  for (const auto& r : ReadRecipients(dir)) {
    for (const auto& g : r.regs) {
      if (!g.isHandle) continue;
      const bool concerned =
          std::any_of(deviceIds.begin(), deviceIds.end(),
                      [&](const std::string& id) { return EqualsNoCase(id, g.deviceId); });
      if (!concerned) continue;
      DeviceBroadcast record;
      record.devicetype = kDbtDevtypHandle;
      record.handle = {g.holdId, g.id};
      visit(r, record);
    }
  }
}

}  // namespace

DeviceBroadcaster::DeviceBroadcaster(const Machine& machine) : dir_(NotifyDirectory(machine)) {}

void DeviceBroadcaster::DeviceInterface(std::uint32_t event, const DeviceClassGuid& interfaceClass,
                                        std::string_view name) {
  if (name.size() > kMaxBroadcastName || name.find('\n') != std::string_view::npos) return;
  auto sender = OpenSender(dir_, false, &staleRemoved_);
  if (!sender) return;
  DeviceBroadcast record;
  record.devicetype = kDbtDevtypDeviceInterface;
  record.deviceInterface = {interfaceClass, std::string(name)};
  const std::string datagram = Datagram(event, record);
  for (const auto& r : ReadRecipients(dir_))
    if (WantsInterface(r, interfaceClass)) sender->Send(r.base, datagram);
}

void DeviceBroadcaster::DeviceInterfaceSync(std::uint32_t event,
                                            const DeviceClassGuid& interfaceClass,
                                            std::string_view name,
                                            std::chrono::milliseconds timeout) {
  if (name.size() > kMaxBroadcastName || name.find('\n') != std::string_view::npos) return;
  auto sender = OpenSender(dir_, true, &staleRemoved_);
  if (!sender) return DeviceInterface(event, interfaceClass, name);
  DeviceBroadcast record;
  record.devicetype = kDbtDevtypDeviceInterface;
  record.deviceInterface = {interfaceClass, std::string(name)};
  std::size_t sent = 0;
  std::uint64_t seq = 0;
  for (const auto& r : ReadRecipients(dir_)) {
    if (!WantsInterface(r, interfaceClass)) continue;
    const std::string datagram = Datagram(event, record) + "reply=" + sender->replyName +
                                 "\nseq=" + std::to_string(++seq) + "\n";
    if (sender->Send(r.base, datagram)) ++sent;
  }
  (void)CollectAnswers(*sender, sent, timeout);
}

void DeviceBroadcaster::Volume(std::uint32_t event, std::uint32_t unitmask) {
  if (unitmask == 0) return;
  auto sender = OpenSender(dir_, false, &staleRemoved_);
  if (!sender) return;
  DeviceBroadcast record;
  record.devicetype = kDbtDevtypVolume;
  record.volume.unitmask = unitmask;
  const std::string datagram = Datagram(event, record);
  for (const auto& r : ReadRecipients(dir_)) sender->Send(r.base, datagram);
}

DeviceBroadcaster::QueryOutcome DeviceBroadcaster::QueryRemove(
    const std::vector<std::string>& deviceIds, std::chrono::milliseconds timeout) {
  QueryOutcome outcome;
  auto sender = OpenSender(dir_, true, &staleRemoved_);
  if (!sender) return outcome;
  std::vector<std::pair<std::uint64_t, std::string>> asked;  // seq -> who
  ForEachHandleOn(dir_, deviceIds, [&](const RecipientFile& r, const DeviceBroadcast& record) {
    const std::uint64_t seq = asked.size() + 1;
    const std::string datagram = Datagram(kDbtDeviceQueryRemove, record) +
                                 "reply=" + sender->replyName + "\nseq=" + std::to_string(seq) +
                                 "\n";
    if (sender->Send(r.base, datagram))
      asked.emplace_back(seq, r.program + " (pid " + std::to_string(r.pid) + ")");
  });
  outcome.asked = asked.size();
  // A recipient that does not answer in time does not hold the removal up; whether a handle is
  // still open decides then.
  for (const auto& [seq, result] : CollectAnswers(*sender, asked.size(), timeout)) {
    if (result != kBroadcastQueryDeny || outcome.denied) continue;
    for (const auto& [s, who] : asked)
      if (s == seq) {
        outcome.denied = true;
        outcome.deniedBy = who;
      }
  }
  return outcome;
}

void DeviceBroadcaster::HandleEvent(std::uint32_t event,
                                    const std::vector<std::string>& deviceIds) {
  auto sender = OpenSender(dir_, false, &staleRemoved_);
  if (!sender) return;
  ForEachHandleOn(dir_, deviceIds, [&](const RecipientFile& r, const DeviceBroadcast& record) {
    sender->Send(r.base, Datagram(event, record));
  });
}

std::vector<RecipientInfo> ListRecipients(const Machine& machine) {
  std::vector<RecipientInfo> out;
  const std::string dir = NotifyDirectory(machine);
  UniqueFd dirFd = OpenDirectory(dir);
  for (auto& r : ReadRecipients(dir)) {
    // Only the living: a socket nobody is bound to any more belongs to a process that ended.
    UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    socklen_t length = 0;
    if (dirFd && probe && MakeAddress(dirFd.get(), r.base + ".sock", address, length) &&
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 &&
        (errno == ECONNREFUSED || errno == ENOENT)) {
      ::unlink((dir + "/" + r.base + ".sock").c_str());
      ::unlink((dir + "/" + r.base + ".regs").c_str());
      continue;
    }
    RecipientInfo info{r.base + ".sock", r.pid, r.program, {}};
    for (const auto& g : r.regs)
      info.registrations.push_back(g.isHandle ? "handle " + g.deviceId
                                              : "interface " + g.interfaceClass.text);
    out.push_back(std::move(info));
  }
  return out;
}

}  // namespace uv::platform
