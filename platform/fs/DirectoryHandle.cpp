#include "platform/fs/DirectoryHandle.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/fs/PortCore.h"
#include "platform/posix/UniqueFd.h"
#include "platform/trace/Trace.h"

namespace uv::platform {
namespace detail {
namespace {

// Changes kept between two reads before the rest counts as an overflow. The kernel keeps its own
// queue in front of this one; this bound only stops a huge directory found by a scan, or a slow
// reader, from growing memory without end.
constexpr std::size_t kMaxPendingChanges = 32768;
constexpr std::size_t kMaxPendingBytes = 4u << 20;
// How many changes one wake-up translates before it hands a buffer to the reader.
constexpr std::size_t kReadAheadChanges = 4096;
// Remembered file sizes (to tell a size change from a rewrite in place); forgotten all at once
// when full, which only costs a "modified" report that could have been spared.
constexpr std::size_t kMaxRememberedSizes = 65536;
// Guards against a corrupt parent chain; deeper paths cannot be reported in a 4096-byte buffer.
constexpr std::size_t kMaxDepth = 65536;
// Relative paths longer than this are opened one component at a time (PATH_MAX is 4096).
constexpr std::size_t kDirectOpenLimit = 2048;
constexpr std::size_t kEventBufferSize = 64 * 1024;
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                     IN_EXCL_UNLINK;
constexpr std::size_t kRecordHeader = 12;  // next-entry offset, action, name length

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

WinError OpenErrorToWinError(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorDirectory;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
    case ENOSPC:
      return kErrorNotEnoughMemory;
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorInvalidName;
    default:
      return kErrorInvalidParameter;
  }
}

// UTF-8 to UTF-16; a byte that does not start a valid sequence becomes U+FFFD on its own, so
// that one bad byte costs one character and never the rest of the name.
void AppendUtf16(std::u16string& out, std::string_view in) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
  std::size_t i = 0;
  while (i < in.size()) {
    const unsigned char lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(lead == '/' ? u'\\' : static_cast<char16_t>(lead));
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t code = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    }
    bool valid = length != 0 && i + length <= in.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = byteAt(i + k);
      const unsigned char min = k == 1 ? low : 0x80;
      const unsigned char max = k == 1 ? high : 0xBF;
      if (next < min || next > max) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
}

std::size_t RecordSize(std::size_t nameUnits) {
  return (kRecordHeader + nameUnits * 2 + 3) & ~std::size_t{3};
}

void PutU32(std::byte* at, std::uint32_t value) {
  std::memcpy(at, &value, sizeof value);
}

std::uint32_t GetU32(const std::byte* at) {
  std::uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

}  // namespace

class DirectoryWatch final : public PortSource {
 public:
  DirectoryWatch(std::filesystem::path directory, UniqueFd inotify,
                 std::unique_ptr<IVolumeHold> hold)
      : directory_(std::move(directory)),
        inotify_(std::move(inotify)),
        hold_(std::move(hold)),
        procFdUsable_(access("/proc/self/fd", X_OK) == 0) {}

  ~DirectoryWatch() override { Close(); }

  WinError Associate(const std::shared_ptr<PortCore>& port, CompletionKey key,
                     std::weak_ptr<PortSource> self) {
    std::lock_guard lock(mutex_);
    if (closed_) return kErrorInvalidHandle;
    if (port_) return kErrorInvalidParameter;
    auto id = port->AddSource(inotify_.get(), std::move(self));
    if (!id) return id.error();
    port_ = port;
    sourceId_ = *id;
    key_ = key;
    return kErrorSuccess;
  }

  WinError Read(std::span<std::byte> buffer, bool subtree, std::uint32_t filter,
                Overlapped* overlapped) {
    std::lock_guard lock(mutex_);
    if (closed_) return kErrorInvalidHandle;
    if (!port_ || readPending_ || overlapped == nullptr || buffer.empty() ||
        reinterpret_cast<std::uintptr_t>(buffer.data()) % 4 != 0) {
      return kErrorInvalidParameter;
    }
    if (gone_ && pending_.empty() && !overflow_) return kErrorAccessDenied;
    if (!firstReadSeen_) {
      // The tree has been watched since the open, so nothing done between the open and this
      // read is missed; a read of the directory alone drops the watches below it.
      firstReadSeen_ = true;
      if (!subtree) DropSubtreeWatches();
    }
    buffer_ = buffer;
    overlapped_ = overlapped;
    filter_ = filter;
    readPending_ = true;
    const WinError error = Deliver();
    if (error != kErrorSuccess) readPending_ = false;
    return error;
  }

  void Close() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    if (port_) port_->RemoveSource(sourceId_, inotify_.get());
    inotify_.Reset();
    hold_.reset();
    if (readPending_) Complete(0, kErrorOperationAborted);
    port_.reset();
  }

  bool IsOpen() const {
    std::lock_guard lock(mutex_);
    return !closed_;
  }

  const IVolumeHold* Hold() const {
    std::lock_guard lock(mutex_);
    return hold_.get();
  }

  std::uint64_t Lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
  }

  void OnReadable() override {
    std::lock_guard lock(mutex_);
    if (closed_ || !readPending_) return;
    Drain();
    const WinError error = Deliver();
    if (error != kErrorSuccess) Complete(0, error);
  }

 private:
  struct WatchedDir {
    int parent = -1;
    std::string name;
  };
  struct Change {
    std::uint32_t action = 0;
    std::string path;  // relative, "/" separators, bytes as on disk
  };
  struct HeldMove {
    std::uint32_t cookie = 0;
    int parent = -1;
    std::string name;
    std::string path;
    bool isDirectory = false;
  };

 public:
  // Watches the whole tree; called once, at the open.
  WinError StartWatching() {
    std::lock_guard lock(mutex_);
    UniqueFd root = OpenRoot();
    if (!root.valid()) return OpenErrorToWinError(errno);
    WatchTree(std::move(root), -1, std::string(), std::string(), false);
    if (rootWd_ < 0) return rootError_;
    return kErrorSuccess;
  }

 private:
  // --- watching the tree (all under mutex_) ---

  void DropSubtreeWatches() {
    subtree_ = false;
    for (const auto& [wd, place] : dirs_) {
      if (wd != rootWd_) inotify_rm_watch(inotify_.get(), wd);
    }
    std::erase_if(dirs_, [&](const auto& entry) { return entry.first != rootWd_; });
    childWd_.clear();
  }

  int AddWatch(int dirFd, const std::string& path) {
    int wd = -1;
    if (procFdUsable_) {
      // The descriptor names the directory even where its path is longer than PATH_MAX.
      const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
      wd = inotify_add_watch(inotify_.get(), link.c_str(), kWatchMask);
    } else {
      wd = inotify_add_watch(inotify_.get(), (directory_ / path).c_str(),
                             kWatchMask | IN_DONT_FOLLOW);
    }
    if (wd < 0) {
      const int error = errno;
      if (path.empty()) rootError_ = OpenErrorToWinError(error);
      ++lost_;
      TraceF("Cannot watch %s: %s; changes below it are not seen\n", (directory_ / path).c_str(),
             std::strerror(error));
    }
    return wd;
  }

  void Register(int wd, int parent, const std::string& name) {
    const auto known = dirs_.find(wd);
    if (known != dirs_.end()) {
      const auto link = childWd_.find({known->second.parent, known->second.name});
      if (link != childWd_.end() && link->second == wd) childWd_.erase(link);
    }
    dirs_[wd] = WatchedDir{parent, name};
    if (parent >= 0) childWd_[{parent, name}] = wd;
  }

  void ForgetWatch(int wd) {
    const auto known = dirs_.find(wd);
    if (known == dirs_.end()) return;
    const auto link = childWd_.find({known->second.parent, known->second.name});
    if (link != childWd_.end() && link->second == wd) childWd_.erase(link);
    dirs_.erase(known);
  }

  // Watches the opened directory `dirFd` (entry `name` of the watched directory `parentWd`, at
  // `path`; parentWd -1 is the root) and, for a subtree read, every directory below it. With
  // `report`, every entry found below it is queued as added: it was created before its watch.
  void WatchTree(UniqueFd dirFd, int parentWd, std::string name, std::string path, bool report) {
    struct Item {
      std::shared_ptr<UniqueFd> parentFd;  // shared by siblings, so open descriptors stay
      int parentWd = -1;                   // bounded by the depth, not the width, of the tree
      std::string name;
      std::string path;
    };
    std::vector<Item> stack;
    const auto visit = [&](UniqueFd fd, int parent, const std::string& entry,
                           const std::string& where) {
      const int wd = AddWatch(fd.get(), where);
      if (wd < 0) return;
      if (parent < 0) rootWd_ = wd;
      Register(wd, parent, entry);
      if (!subtree_) return;
      auto holder = std::make_shared<UniqueFd>(std::move(fd));
      UniqueDir listing(fdopendir(fcntl(holder->get(), F_DUPFD_CLOEXEC, 0)));
      if (!listing) {
        ++lost_;
        TraceF("Cannot list %s: %s; changes below it are not seen\n", (directory_ / where).c_str(),
               std::strerror(errno));
        return;
      }
      while (const dirent* found = readdir(listing.get())) {
        const std::string child = found->d_name;
        if (child == "." || child == "..") continue;
        bool isDirectory = found->d_type == DT_DIR;
        if (found->d_type == DT_UNKNOWN) {
          struct stat info {};
          isDirectory = fstatat(holder->get(), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISDIR(info.st_mode);
        }
        std::string childPath = where.empty() ? child : where + "/" + child;
        if (report && QueueChange(kFileActionAdded, childPath, isDirectory)) {
          // Forgetting costs at most a second "added" for a name, never a lost one.
          if (scanned_.size() >= kMaxPendingChanges) scanned_.clear();
          scanned_.insert({wd, child});
        }
        if (isDirectory) stack.push_back(Item{holder, wd, child, std::move(childPath)});
      }
    };
    visit(std::move(dirFd), parentWd, name, path);
    while (!stack.empty()) {
      Item item = std::move(stack.back());
      stack.pop_back();
      UniqueFd fd(openat(item.parentFd->get(), item.name.c_str(), kDirOpenFlags));
      item.parentFd.reset();
      if (!fd.valid()) {
        if (errno != ENOENT && errno != ENOTDIR) {
          ++lost_;
          TraceF("Cannot open %s: %s; changes below it are not seen\n",
                 (directory_ / item.path).c_str(), std::strerror(errno));
        }
        continue;
      }
      visit(std::move(fd), item.parentWd, item.name, item.path);
    }
  }

  // The root is opened only while it is being walked: an open descriptor would keep the
  // directory's entry alive and hold back the kernel's notice that it was deleted.
  UniqueFd OpenRoot() const {
    return UniqueFd(open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }

  UniqueFd OpenRelative(const std::string& path) const {
    if (path.size() < kDirectOpenLimit)
      return UniqueFd(open((directory_ / path).c_str(), kDirOpenFlags));
    UniqueFd current = OpenRoot();
    std::size_t start = 0;
    while (current.valid() && start < path.size()) {
      std::size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string part = path.substr(start, end - start);
      current = UniqueFd(openat(current.get(), part.c_str(), kDirOpenFlags));
      start = end + 1;
    }
    return current;
  }

  void WatchNewDirectory(int parentWd, const std::string& name, const std::string& path,
                         bool report) {
    UniqueFd fd = OpenRelative(path);
    if (!fd.valid()) {
      // Already gone again: its removal follows in the queue.
      if (errno == ENOENT || errno == ENOTDIR) return;
      ++lost_;
      TraceF("Cannot open %s: %s; changes below it are not seen\n", (directory_ / path).c_str(),
             std::strerror(errno));
      return;
    }
    WatchTree(std::move(fd), parentWd, name, path, report);
  }

  // A directory that left the watched tree: its watches would otherwise report from outside.
  void UnwatchSubtree(int parentWd, const std::string& name) {
    const auto top = childWd_.find({parentWd, name});
    if (top == childWd_.end()) return;
    std::vector<int> todo{top->second};
    while (!todo.empty()) {
      const int wd = todo.back();
      todo.pop_back();
      for (auto child = childWd_.lower_bound({wd, std::string()});
           child != childWd_.end() && child->first.first == wd; ++child) {
        todo.push_back(child->second);
      }
      inotify_rm_watch(inotify_.get(), wd);
      ForgetWatch(wd);
    }
  }

  void MoveWatch(int oldParent, const std::string& oldName, int newParent,
                 const std::string& newName) {
    const auto link = childWd_.find({oldParent, oldName});
    if (link == childWd_.end()) return;
    const int wd = link->second;
    Register(wd, newParent, newName);
  }

  bool PathOf(int wd, const std::string& name, std::string& path) const {
    std::vector<const std::string*> parts{&name};
    int current = wd;
    while (current != rootWd_) {
      const auto found = dirs_.find(current);
      if (found == dirs_.end() || parts.size() > kMaxDepth) return false;
      parts.push_back(&found->second.name);
      current = found->second.parent;
    }
    path.clear();
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
      if (!path.empty()) path.push_back('/');
      path += **part;
    }
    return true;
  }

  // --- sizes ---

  void RememberSize(const std::string& path, std::uint64_t size) {
    if (sizes_.size() >= kMaxRememberedSizes) sizes_.clear();
    sizes_[path] = size;
  }

  bool SizeChanged(const std::string& path) {
    struct stat info {};
    if (path.size() >= kDirectOpenLimit || lstat((directory_ / path).c_str(), &info) != 0) {
      sizes_.erase(path);
      return true;  // cannot tell: better one report too many than one too few
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto known = sizes_.find(path);
    if (known != sizes_.end() && known->second == size) return false;
    RememberSize(path, size);
    return true;
  }

  // --- the queue of changes ---

  bool Wanted(std::uint32_t action, bool isDirectory) const {
    if (action == kFileActionModified) return (filter_ & kNotifyChangeSize) != 0;
    return (filter_ & (isDirectory ? kNotifyChangeDirName : kNotifyChangeFileName)) != 0;
  }

  // Returns true when the change was queued.
  bool QueueChange(std::uint32_t action, const std::string& path, bool isDirectory) {
    if (!Wanted(action, isDirectory)) return false;
    if (action == kFileActionModified && !pending_.empty() &&
        pending_.back().action == kFileActionModified && pending_.back().path == path) {
      return true;  // a file being written in many pieces is one change until it is read
    }
    const std::size_t cost = path.size() + sizeof(Change);
    if (pending_.size() >= kMaxPendingChanges || pendingBytes_ + cost > kMaxPendingBytes) {
      Overflow("more changes than can be kept");
      ++lost_;
      return false;
    }
    pending_.push_back(Change{action, path});
    pendingBytes_ += cost;
    return true;
  }

  void Overflow(const char* why) {
    lost_ += pending_.size();
    if (!overflow_) {
      TraceF("Directory changes lost on %s: %s\n", directory_.c_str(), why);
    }
    overflow_ = true;
    pending_.clear();
    pendingBytes_ = 0;
    scanned_.clear();
  }

  void FlushHeldMove() {
    if (!held_) return;
    // A move out of the watched tree: the name is gone from it.
    QueueChange(kFileActionRemoved, held_->path, held_->isDirectory);
    if (held_->isDirectory) {
      UnwatchSubtree(held_->parent, held_->name);
    } else {
      sizes_.erase(held_->path);
    }
    held_.reset();
  }

  void Translate(const inotify_event& event) {
    if (event.mask & IN_Q_OVERFLOW) {
      held_.reset();
      ++lost_;
      Overflow("the kernel's change queue overflowed");
      rescanNeeded_ = true;
      return;
    }
    if (event.mask & IN_IGNORED) {
      if (event.wd == rootWd_) gone_ = true;
      ForgetWatch(event.wd);
      return;
    }
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
      // A subdirectory's removal is reported by its parent; the root's is the drive going away.
      if (event.wd == rootWd_) {
        FlushHeldMove();
        gone_ = true;
      }
      return;
    }
    if (event.len == 0 || !dirs_.contains(event.wd)) return;
    if (!subtree_ && event.wd != rootWd_) return;  // queued before the watches below were dropped
    const std::string name(event.name, strnlen(event.name, event.len));
    const bool isDirectory = (event.mask & IN_ISDIR) != 0;
    if (!(event.mask & IN_MOVED_TO)) FlushHeldMove();
    std::string path;
    if (!PathOf(event.wd, name, path)) {
      ++lost_;
      return;
    }
    if (event.mask & IN_CREATE) {
      if (scanned_.erase({event.wd, name}) != 0) return;  // already reported by a scan
      QueueChange(kFileActionAdded, path, isDirectory);
      if (isDirectory) {
        if (subtree_) WatchNewDirectory(event.wd, name, path, true);
      } else {
        RememberSize(path, 0);
      }
    } else if (event.mask & IN_DELETE) {
      QueueChange(kFileActionRemoved, path, isDirectory);
      sizes_.erase(path);
    } else if (event.mask & IN_MODIFY) {
      if (!isDirectory && (filter_ & kNotifyChangeSize) && SizeChanged(path)) {
        QueueChange(kFileActionModified, path, false);
      }
    } else if (event.mask & IN_MOVED_FROM) {
      held_ = HeldMove{event.cookie, event.wd, name, std::move(path), isDirectory};
    } else if (event.mask & IN_MOVED_TO) {
      if (held_ && held_->cookie == event.cookie) {
        QueueChange(kFileActionRenamedOldName, held_->path, isDirectory);
        QueueChange(kFileActionRenamedNewName, path, isDirectory);
        if (isDirectory) {
          MoveWatch(held_->parent, held_->name, event.wd, name);
        } else if (const auto size = sizes_.find(held_->path); size != sizes_.end()) {
          const std::uint64_t value = size->second;
          sizes_.erase(size);
          RememberSize(path, value);
        }
        held_.reset();
      } else {
        FlushHeldMove();
        // Moved in from outside: new here, and so is everything in it (from another volume it
        // would have been copied in, file by file).
        QueueChange(kFileActionAdded, path, isDirectory);
        if (isDirectory && subtree_) WatchNewDirectory(event.wd, name, path, true);
      }
    }
  }

  void Drain() {
    if (eventBuffer_.empty()) eventBuffer_.resize(kEventBufferSize);
    while (pending_.size() < kReadAheadChanges && !gone_) {
      const ssize_t got = read(inotify_.get(), eventBuffer_.data(), eventBuffer_.size());
      if (got < 0) {
        if (errno == EINTR) continue;
        // Nothing more queued. A move-from still held has no move-to coming: the name left the
        // tree. Every event queued before a scan has been read now, so its names can go.
        FlushHeldMove();
        scanned_.clear();
        if (rescanNeeded_ && subtree_) {
          // Directories created while changes were being lost need their watches.
          rescanNeeded_ = false;
          UniqueFd root = OpenRoot();
          if (root.valid()) WatchTree(std::move(root), -1, std::string(), std::string(), false);
        }
        break;
      }
      std::size_t offset = 0;
      const auto size = static_cast<std::size_t>(got);
      while (offset + sizeof(inotify_event) <= size) {
        inotify_event header{};
        std::memcpy(&header, eventBuffer_.data() + offset, sizeof header);
        if (offset + sizeof header + header.len > size) break;
        // The name follows the header in the kernel's buffer, NUL-padded to header.len.
        const auto* event = reinterpret_cast<const inotify_event*>(eventBuffer_.data() + offset);
        Translate(*event);
        offset += sizeof header + header.len;
      }
    }
  }

  WinError Deliver() {
    if (!readPending_) return kErrorSuccess;
    if (overflow_) {
      overflow_ = false;
      Complete(0, kErrorSuccess);
      return kErrorSuccess;
    }
    if (!pending_.empty()) {
      Pack();
      return kErrorSuccess;
    }
    if (gone_) {
      Complete(0, kErrorAccessDenied);
      return kErrorSuccess;
    }
    return port_->Arm(sourceId_, inotify_.get());
  }

  void Pack() {
    std::size_t offset = 0;
    std::size_t previous = 0;
    bool first = true;
    std::u16string name;
    while (!pending_.empty()) {
      const Change& change = pending_.front();
      name.clear();
      AppendUtf16(name, change.path);
      const std::size_t size = RecordSize(name.size());
      if (offset + size > buffer_.size()) {
        if (!first) break;
        // A single record that does not fit: the system reports this as an overflow.
        TraceF("Directory change too long for the read buffer on %s: %s\n", directory_.c_str(),
               change.path.c_str());
        ++lost_;
        pendingBytes_ -= change.path.size() + sizeof(Change);
        pending_.pop_front();
        Complete(0, kErrorSuccess);
        return;
      }
      if (!first) PutU32(buffer_.data() + previous, static_cast<std::uint32_t>(offset - previous));
      std::byte* record = buffer_.data() + offset;
      PutU32(record, 0);
      PutU32(record + 4, change.action);
      PutU32(record + 8, static_cast<std::uint32_t>(name.size() * 2));
      std::memcpy(record + kRecordHeader, name.data(), name.size() * 2);
      std::memset(record + kRecordHeader + name.size() * 2, 0,
                  size - kRecordHeader - name.size() * 2);
      previous = offset;
      offset += size;
      first = false;
      pendingBytes_ -= change.path.size() + sizeof(Change);
      pending_.pop_front();
    }
    Complete(static_cast<std::uint32_t>(offset), kErrorSuccess);
  }

  void Complete(std::uint32_t bytes, WinError status) {
    readPending_ = false;
    overlapped_->status = status;
    overlapped_->bytes = bytes;
    // A port closed meanwhile drops the packet, as a closed port does.
    if (port_) (void)port_->Post(Completion{bytes, key_, overlapped_, status});
  }

  const std::filesystem::path directory_;
  mutable std::mutex mutex_;  // guards everything below
  UniqueFd inotify_;
  std::unique_ptr<IVolumeHold> hold_;
  const bool procFdUsable_;
  bool closed_ = false;
  std::shared_ptr<PortCore> port_;
  std::uint64_t sourceId_ = 0;
  CompletionKey key_ = 0;

  bool firstReadSeen_ = false;
  bool subtree_ = true;
  std::uint32_t filter_ = 0;
  bool readPending_ = false;
  std::span<std::byte> buffer_;
  Overlapped* overlapped_ = nullptr;

  int rootWd_ = -1;
  WinError rootError_ = kErrorInvalidParameter;
  bool gone_ = false;
  bool overflow_ = false;
  bool rescanNeeded_ = false;
  std::uint64_t lost_ = 0;
  std::unordered_map<int, WatchedDir> dirs_;              // wd -> place in the tree
  std::map<std::pair<int, std::string>, int> childWd_;    // (parent wd, name) -> wd
  std::set<std::pair<int, std::string>> scanned_;         // entries a scan reported as added
  std::unordered_map<std::string, std::uint64_t> sizes_;  // path -> size last seen
  std::optional<HeldMove> held_;
  std::deque<Change> pending_;
  std::size_t pendingBytes_ = 0;
  std::vector<char> eventBuffer_;
};

}  // namespace detail

Result<std::unique_ptr<DirectoryHandle>> DirectoryHandle::Open(
    const std::filesystem::path& directory, std::unique_ptr<IVolumeHold> hold) {
  using R = Result<std::unique_ptr<DirectoryHandle>>;
  // Opened to check that it is a directory this process may list; watching reopens it.
  UniqueFd root(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) {
    const int error = errno;
    if (error == ENOENT) {
      struct stat info {};
      const bool parentThere = stat(directory.parent_path().c_str(), &info) == 0;
      return R::Failure(parentThere ? kErrorFileNotFound : kErrorPathNotFound);
    }
    return R::Failure(detail::OpenErrorToWinError(error));
  }
  UniqueFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) return R::Failure(detail::OpenErrorToWinError(errno));
  root.Reset();
  auto watch =
      std::make_shared<detail::DirectoryWatch>(directory, std::move(inotify), std::move(hold));
  if (const WinError error = watch->StartWatching(); error != kErrorSuccess) {
    return R::Failure(error);
  }
  return std::make_unique<DirectoryHandle>(directory, std::move(watch), PrivateTag{});
}

Result<std::unique_ptr<DirectoryHandle>> DirectoryHandle::OpenOnDrive(
    IDriveResolver& drives, std::string_view windowsPath) {
  using R = Result<std::unique_ptr<DirectoryHandle>>;
  auto parsed = ParseDrivePath(windowsPath);
  if (!parsed) return R::Failure(parsed.error());
  auto mapping = drives.MapDrive(parsed->letter);
  if (!mapping) return R::Failure(mapping.error());
  std::filesystem::path directory = mapping->directory;
  if (!parsed->relative.empty()) directory /= parsed->relative;
  return Open(directory, std::move(mapping->hold));
}

DirectoryHandle::DirectoryHandle(std::filesystem::path directory,
                                 std::shared_ptr<detail::DirectoryWatch> watch, PrivateTag)
    : directory_(std::move(directory)), watch_(std::move(watch)) {}

DirectoryHandle::~DirectoryHandle() {
  Close();
}

WinError DirectoryHandle::AssociateWith(CompletionPort& port, CompletionKey key) {
  return watch_->Associate(port.core(), key, watch_);
}

WinError DirectoryHandle::ReadChanges(std::span<std::byte> buffer, bool watchSubtree,
                                      std::uint32_t notifyFilter, Overlapped* overlapped) {
  return watch_->Read(buffer, watchSubtree, notifyFilter, overlapped);
}

void DirectoryHandle::Close() {
  watch_->Close();
}

bool DirectoryHandle::IsOpen() const {
  return watch_->IsOpen();
}

std::uint64_t DirectoryHandle::LostCount() const {
  return watch_->Lost();
}

const IVolumeHold* DirectoryHandle::VolumeHold() const {
  return watch_->Hold();
}

bool ForEachNotifyRecord(
    std::span<const std::byte> data,
    const std::function<void(std::uint32_t action, std::span<const std::byte> name)>& visit) {
  std::size_t offset = 0;
  for (;;) {
    if (offset % 4 != 0 || data.size() < detail::kRecordHeader ||
        offset > data.size() - detail::kRecordHeader) {
      return false;
    }
    const std::uint32_t next = detail::GetU32(data.data() + offset);
    const std::uint32_t action = detail::GetU32(data.data() + offset + 4);
    const std::uint32_t length = detail::GetU32(data.data() + offset + 8);
    const std::size_t nameStart = offset + detail::kRecordHeader;
    if (length % 2 != 0 || length > data.size() - nameStart) return false;
    visit(action, data.subspan(nameStart, length));
    if (next == 0) return true;
    // Each record must move forward past its own header, so a corrupt chain cannot loop.
    if (next < detail::kRecordHeader) return false;
    offset += next;
  }
}

}  // namespace uv::platform
