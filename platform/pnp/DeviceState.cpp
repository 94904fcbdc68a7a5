#include "platform/pnp/DeviceState.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

#include "platform/common/FileWrite.h"
#include "platform/common/KeyValueText.h"
#include "platform/machine/Machine.h"
#include "platform/posix/ErrnoError.h"
#include "platform/posix/FdIo.h"
#include "platform/posix/UniqueFd.h"

namespace uv::platform {

namespace {

constexpr std::string_view kStateFile = "devices.state";
constexpr std::string_view kLockFile = "devices.lock";
// A state file above this size is not a state file we wrote (1,000 devices take ~400 KB).
constexpr std::uint64_t kMaxStateBytes = 64ull << 20;

bool NeedsEscape(char c) {
  return c == '%' || c == '\t' || c == '\n' || c == '\r' || c == '=' || c == '|';
}

std::string Escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    if (NeedsEscape(c)) {
      out += '%';
      out += kHex[(static_cast<unsigned char>(c) >> 4) & 0xF];
      out += kHex[static_cast<unsigned char>(c) & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> Unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      out += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const int hi = HexDigit(value[i + 1]);
    const int lo = HexDigit(value[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

std::string HexBytes(const std::vector<std::uint8_t>& data) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (std::uint8_t b : data) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

template <class T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

template <class T>
bool ParseInto(std::string_view text, T& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// One parsed line: its record word and its fields (a name may repeat, e.g. iface).
struct Line {
  std::string_view word;
  std::vector<std::pair<std::string_view, std::string>> fields;
  const std::string* Get(std::string_view name) const {
    for (const auto& [n, v] : fields)
      if (n == name) return &v;
    return nullptr;
  }
};

std::optional<Line> ParseLine(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const auto parts = SplitFields(text, '\t');
  Line line;
  line.word = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto field = SplitKeyValue(parts[i]);
    if (!field) return std::nullopt;
    auto value = Unescape(field->value);
    if (!value) return std::nullopt;
    line.fields.emplace_back(field->key, std::move(*value));
  }
  return line;
}

std::optional<DeviceRecord> ParseDevice(const Line& line) {
  DeviceRecord d;
  const std::string* id = line.Get("id");
  const std::string* devinst = line.Get("devinst");
  if (!id || id->empty() || !devinst) return std::nullopt;
  d.instanceId = *id;
  auto number = ParseNumber<std::uint32_t>(*devinst);
  if (!number || *number == 0) return std::nullopt;
  d.devInst = *number;
  if (const auto* v = line.Get("parent")) d.parentId = *v;
  if (const auto* v = line.Get("class"); v && !v->empty()) {
    auto guid = ParseClassGuid(*v);
    if (!guid) return std::nullopt;
    d.classGuid = *guid;
  }
  for (const auto& [name, value] : line.fields) {
    if (name != "iface") continue;
    const std::size_t bar = value.find('|');
    if (bar == std::string::npos) return std::nullopt;
    auto guid = ParseClassGuid(std::string_view(value).substr(0, bar));
    if (!guid) return std::nullopt;
    d.interfaces.push_back({*guid, value.substr(bar + 1)});
  }
  auto u32 = [&](std::string_view name, std::uint32_t& out) {
    if (const auto* v = line.Get(name)) {
      auto n = ParseNumber<std::uint32_t>(*v);
      if (!n) return false;
      out = *n;
    }
    return true;
  };
  std::uint32_t storage = 0, removable = 0;
  if (!u32("storage", storage) || storage > 3 || !u32("dtype", d.deviceType) ||
      !u32("dnum", d.deviceNumber) || !u32("bus", d.busType) || !u32("rm", removable))
    return std::nullopt;
  d.storage = static_cast<StorageClass>(storage);
  d.removableMedia = removable != 0;
  if (const auto* v = line.Get("ven")) d.vendorId = *v;
  if (const auto* v = line.Get("prod")) d.productId = *v;
  if (const auto* v = line.Get("rev")) d.productRevision = *v;
  if (const auto* v = line.Get("sn")) d.serialNumber = *v;
  return d;
}

std::optional<VolumeRecord> ParseVolume(const Line& line) {
  VolumeRecord v;
  const std::string* name = line.Get("name");
  const std::string* device = line.Get("device");
  if (!name || name->empty() || !device) return std::nullopt;
  v.name = *name;
  v.deviceId = *device;
  if (const auto* l = line.Get("letter")) {
    if (l->size() != 1 || (*l)[0] < 'A' || (*l)[0] > 'Z') return std::nullopt;
    v.letter = (*l)[0];
  }
  if (const auto* n = line.Get("nt")) v.ntDevice = *n;
  if (const auto* t = line.Get("type")) {
    auto n = ParseNumber<std::uint32_t>(*t);
    if (!n || *n > kDriveRamDisk) return std::nullopt;
    v.driveType = *n;
  }
  if (const auto* b = line.Get("backing")) v.backing = *b;
  if (const auto* d = line.Get("data")) {
    auto bytes = ParseHexBytes(*d);
    if (!bytes) return std::nullopt;
    v.mountData = std::move(*bytes);
  }
  return v;
}

}  // namespace

bool DeviceClassGuid::operator==(const DeviceClassGuid& other) const {
  return EqualsNoCase(text, other.text);
}

std::optional<DeviceClassGuid> ParseClassGuid(std::string_view text) {
  // {8-4-4-4-12}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  for (std::size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != '-' : HexDigit(text[i]) < 0) return std::nullopt;
  }
  return DeviceClassGuid{ToUpperAscii(text)};
}

const DeviceRecord* DeviceState::FindDevice(std::string_view instanceId) const {
  for (const auto& d : devices)
    if (EqualsNoCase(d.instanceId, instanceId)) return &d;
  return nullptr;
}

const DeviceRecord* DeviceState::FindDevInst(DevInst devInst) const {
  if (devInst == 0) return nullptr;
  for (const auto& d : devices)
    if (d.devInst == devInst) return &d;
  return nullptr;
}

const VolumeRecord* DeviceState::FindLetter(char letter) const {
  letter = ToUpperAscii(letter);
  if (letter < 'A' || letter > 'Z') return nullptr;
  for (const auto& v : volumes)
    if (v.letter == letter) return &v;
  return nullptr;
}

const VolumeRecord* DeviceState::FindVolume(std::string_view name) const {
  for (const auto& v : volumes)
    if (EqualsNoCase(v.name, name)) return &v;
  return nullptr;
}

std::vector<const DeviceRecord*> DeviceState::Subtree(std::string_view instanceId) const {
  std::vector<const DeviceRecord*> out;
  const DeviceRecord* top = FindDevice(instanceId);
  if (!top) return out;
  out.push_back(top);
  // Breadth first over the (small) device list; a parent cycle in a damaged file cannot loop
  // because each device is taken at most once.
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (const auto& d : devices) {
      if (!EqualsNoCase(d.parentId, out[i]->instanceId)) continue;
      if (std::find(out.begin(), out.end(), &d) == out.end()) out.push_back(&d);
    }
  }
  return out;
}

std::uint32_t DeviceState::LetterMask() const {
  std::uint32_t mask = 0;
  for (const auto& v : volumes)
    if (v.letter >= 'A' && v.letter <= 'Z') mask |= 1u << (v.letter - 'A');
  return mask;
}

std::string SerializeDeviceState(const DeviceState& state) {
  std::string out;
  out += "state\tgeneration=" + std::to_string(state.generation) +
         "\tnextVolume=" + std::to_string(state.nextVolumeNumber) + "\n";
  for (const auto& d : state.devices) {
    out += "device\tid=" + Escape(d.instanceId) + "\tparent=" + Escape(d.parentId) +
           "\tdevinst=" + std::to_string(d.devInst) + "\tclass=" + Escape(d.classGuid.text);
    for (const auto& i : d.interfaces)
      out += "\tiface=" + Escape(i.classGuid.text) + "%7C" + Escape(i.path);
    out += "\tstorage=" + std::to_string(static_cast<std::uint32_t>(d.storage)) +
           "\tdtype=" + std::to_string(d.deviceType) + "\tdnum=" + std::to_string(d.deviceNumber) +
           "\tbus=" + std::to_string(d.busType) + "\trm=" + (d.removableMedia ? "1" : "0") +
           "\tven=" + Escape(d.vendorId) + "\tprod=" + Escape(d.productId) +
           "\trev=" + Escape(d.productRevision) + "\tsn=" + Escape(d.serialNumber) + "\n";
  }
  for (const auto& v : state.volumes) {
    out += "volume\tname=" + Escape(v.name) + "\tdevice=" + Escape(v.deviceId);
    if (v.letter) out += std::string("\tletter=") + v.letter;
    out += "\tnt=" + Escape(v.ntDevice) + "\ttype=" + std::to_string(v.driveType) +
           "\tbacking=" + Escape(v.backing.string()) + "\tdata=" + HexBytes(v.mountData) + "\n";
  }
  return out;
}

DeviceState ParseDeviceState(std::string_view text) {
  DeviceState state;
  for (std::string_view raw : SplitFields(text, '\n')) {
    if (raw.empty() || raw == "\r") continue;
    auto line = ParseLine(raw);
    if (!line) {
      ++state.skippedLines;
      continue;
    }
    if (line->word == "state") {
      const auto* g = line->Get("generation");
      const auto* n = line->Get("nextVolume");
      std::uint64_t gen = 0;
      std::uint32_t next = 0;
      const bool genOk = g && ParseInto(*g, gen);
      const bool nextOk = n && ParseInto(*n, next) && next > 0;
      if (genOk) state.generation = gen;
      if (nextOk) state.nextVolumeNumber = next;
      if (!genOk || !nextOk) ++state.skippedLines;
    } else if (line->word == "device") {
      auto d = ParseDevice(*line);
      // A duplicate would make lookups ambiguous: the first one wins.
      if (d && !state.FindDevice(d->instanceId) && !state.FindDevInst(d->devInst))
        state.devices.push_back(std::move(*d));
      else
        ++state.skippedLines;
    } else if (line->word == "volume") {
      auto v = ParseVolume(*line);
      if (v && !state.FindVolume(v->name) && !(v->letter && state.FindLetter(v->letter)))
        state.volumes.push_back(std::move(*v));
      else
        ++state.skippedLines;
    } else {
      ++state.skippedLines;
    }
  }
  return state;
}

StateStore::StateStore(const Machine& machine) : dir_(machine.RunDirectory() / "pnp") {}
StateStore::StateStore(std::filesystem::path runDirectory) : dir_(std::move(runDirectory)) {}

Result<DeviceState> StateStore::Read() const {
  const std::string path = (dir_ / kStateFile).string();
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return DeviceState{};
    return Result<DeviceState>::Failure(ErrnoToWinError(errno));
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Result<DeviceState>::Failure(ErrnoToWinError(errno));
  if (static_cast<std::uint64_t>(st.st_size) > kMaxStateBytes)
    return Result<DeviceState>::Failure(kErrorInvalidData);
  const std::int64_t mtimeNs =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  {
    std::lock_guard lock(cacheMutex_);
    if (cacheInode_ == st.st_ino && cacheMtimeNs_ == mtimeNs &&
        cacheSize_ == static_cast<std::uint64_t>(st.st_size))
      return cache_;
  }
  std::string text;
  if (const int error = ReadAll(fd.get(), text); error != 0)
    return Result<DeviceState>::Failure(ErrnoToWinError(error));
  DeviceState state = ParseDeviceState(text);
  std::lock_guard lock(cacheMutex_);
  cacheInode_ = st.st_ino;
  cacheMtimeNs_ = mtimeNs;
  cacheSize_ = static_cast<std::uint64_t>(st.st_size);
  cache_ = state;
  return state;
}

WinError StateStore::Update(const std::function<WinError(DeviceState&)>& change) {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  const std::string lockPath = (dir_ / kLockFile).string();
  UniqueFd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lockFd) return ErrnoToWinError(errno);
  while (::flock(lockFd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return ErrnoToWinError(errno);
  }
  auto current = Read();
  if (!current) return current.error();
  DeviceState next = std::move(current).value();
  next.skippedLines = 0;
  if (WinError e = change(next); e != kErrorSuccess) return e;
  ++next.generation;

  return WriteFileAtomically(dir_ / kStateFile, SerializeDeviceState(next));
}

}  // namespace uv::platform
