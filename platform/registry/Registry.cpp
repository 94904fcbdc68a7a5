#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/common/Text.h"
#include "platform/trace/Trace.h"

namespace uv::platform {
namespace {

// Identifies our own databases, so that a stray SQLite file is never mistaken for a registry
// and "repaired" into one.
constexpr const char* kFormatName = "usbvantrel-registry";
constexpr const char* kFormatVersion = "1";
constexpr std::int64_t kRootId = 1;

// Long enough to ride out another process's write burst, short enough that a wedged writer
// shows up as an error rather than a hang.
constexpr int kBusyTimeoutMs = 10000;

// Limits of the registry we emulate; longer names are refused before they reach the store.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

constexpr const char* kSchema = R"sql(
CREATE TABLE meta(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  name TEXT NOT NULL,
  path TEXT NOT NULL,
  lpath TEXT NOT NULL UNIQUE);
CREATE INDEX keys_parent ON keys(parent, id);
CREATE TABLE vals(
  id INTEGER PRIMARY KEY,
  key INTEGER NOT NULL,
  name TEXT NOT NULL,
  lname TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, lname));
CREATE INDEX vals_order ON vals(key, id);
INSERT INTO keys(id, parent, name, path, lpath) VALUES(1, NULL, '', '', '');
)sql";

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Resets a statement when the operation that used it ends, whichever way it ends, so that no
// read transaction is left open behind the caller's back.
class StmtUse {
 public:
  explicit StmtUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StmtUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StmtUse(const StmtUse&) = delete;
  StmtUse& operator=(const StmtUse&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

// Names compare case-insensitively as the single-byte texts of the programs do: ASCII letters
// fold, every other byte is itself.
std::string Fold(std::string_view text) {
  return ToLowerAscii(text);
}

void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)))
              : std::string();
}

std::vector<std::uint8_t> ColumnBlob(sqlite3_stmt* stmt, int column) {
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return std::vector<std::uint8_t>(data, data + size);
}

// Splits a key path into its names. One trailing separator is tolerated; an empty name inside
// the path, a leading separator or an over-long name makes the path invalid.
std::optional<std::vector<std::string_view>> SplitPath(std::string_view path) {
  std::vector<std::string_view> names;
  if (path.empty()) return names;
  if (path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return std::nullopt;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = path.find('\\', start);
    const std::string_view name =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (name.empty() || name.size() > kMaxKeyNameLength ||
        name.find('\0') != std::string_view::npos) {
      return std::nullopt;
    }
    names.push_back(name);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return names;
}

std::string JoinPath(std::string_view base, std::string_view name) {
  std::string joined(base);
  if (!joined.empty()) joined += '\\';
  joined += name;
  return joined;
}

WinError MapSqliteError(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return kErrorSuccess;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kErrorAccessDenied;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorTimeout;
    case SQLITE_NOMEM:
      return kErrorNotEnoughMemory;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
      return kErrorRegistryCorrupt;
    default:
      return kErrorRegistryIoFailed;
  }
}

}  // namespace

// A counter shared by every process that uses one registry, kept in a small file beside the
// database: writers bump it after each commit. While it stands still, nothing was committed, so
// a process may answer reads from what it read before. This spares the file locks SQLite takes
// for every read, which cost far more than the lookup itself. An unprivileged process maps it
// read-only; without the file, every read goes to the database.
class ChangeCounter {
 public:
  ChangeCounter() = default;
  ~ChangeCounter() {
    if (map_ != nullptr) ::munmap(map_, kSize);
    if (fd_ >= 0) ::close(fd_);
  }
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  void Open(const std::filesystem::path& file, bool writable) {
    fd_ = writable ? ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                   : ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return;
    if (static_cast<std::size_t>(info.st_size) < kSize) {
      // Readers must be able to map what the administrator creates, whatever the umask.
      if (!writable || ::fchmod(fd_, 0644) != 0 ||
          ::ftruncate(fd_, static_cast<off_t>(kSize)) != 0) {
        return;
      }
    }
    void* map =
        ::mmap(nullptr, kSize, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd_, 0);
    if (map != MAP_FAILED) {
      map_ = map;
      writable_ = writable;
    }
  }

  std::optional<std::uint64_t> Load() const {
    if (map_ == nullptr) return std::nullopt;
    return std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(map_)).load();
  }

  void Bump() {
    if (map_ == nullptr || !writable_) return;
    std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(map_)).fetch_add(1);
  }

 private:
  static constexpr std::size_t kSize = 4096;
  int fd_ = -1;
  void* map_ = nullptr;
  bool writable_ = false;
};

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "the change counter is shared between processes and must not need a lock");

// One SQLite connection per Registry, shared by every RegKey opened on it and serialised by
// one lock. Writers in other processes are kept apart by SQLite's own file locks (WAL: readers
// never wait for a writer; writers queue behind the busy timeout).
class Registry::Impl {
 public:
  std::filesystem::path file;
  bool admin = false;

  std::mutex mutex;  // guards db and every statement below
  DbPtr db;
  StmtPtr keyByPath;          // (lpath) -> id, path
  StmtPtr keyExists;          // (id)
  StmtPtr valueByName;        // (key, lname) -> type, data
  StmtPtr upsertValue;        // (key, name, lname, type, data)
  StmtPtr insertKey;          // (parent, name, path, lpath)
  StmtPtr keyByIndex;         // (parent, offset) -> name
  StmtPtr valueByIndex;       // (key, offset) -> name, type, data
  StmtPtr subKeyNames;        // (parent) -> name, in creation order
  StmtPtr valueList;          // (key) -> name, type, data, in creation order
  StmtPtr countKeys;          // (parent)
  StmtPtr countValues;        // (key)
  StmtPtr deleteValue;        // (key, lname)
  StmtPtr hasSubKeys;         // (id)
  StmtPtr deleteKeyValues;    // (id): values of one key
  StmtPtr deleteKey;          // (id)
  StmtPtr deleteTreeValues;   // (lpath): values of the key and all below it
  StmtPtr deleteTreeKeys;     // (lpath): the key and all below it
  StmtPtr deleteBelowValues;  // (lpath): values of everything strictly below the key
  StmtPtr deleteBelowKeys;    // (lpath): every key strictly below the key
  StmtPtr deleteAllValues;    // (): every value of every key but HKLM's own
  StmtPtr deleteAllKeys;      // (): every key but HKLM
  StmtPtr begin;
  StmtPtr commit;
  StmtPtr rollback;

  // What this process read since the registry last changed (see ChangeCounter), guarded by
  // mutex. Bounded: it is dropped whole when it grows past kMaxCached entries.
  struct Found {
    std::int64_t id = 0;
    std::string path;
  };
  static constexpr std::size_t kMaxCached = 4096;
  ChangeCounter changes;
  std::optional<std::uint64_t> cachedGeneration;
  std::unordered_map<std::string, std::optional<Found>> keyCache;  // folded path -> key
  std::unordered_map<std::string, RegValue> valueCache;            // id + folded name -> value
  std::unordered_map<std::string, bool> missingValues;             // id + folded name
  // Whole enumerations of a key, in creation order; nullopt when the key was deleted. They
  // make a walk by index linear instead of one ever longer scan per index. Their own budget
  // is in bytes: when a new list would exceed it the other lists go, the new one is kept.
  using SubKeyList = std::optional<std::vector<std::string>>;
  using ValueList = std::optional<std::vector<RegKey::NamedValue>>;
  static constexpr std::size_t kMaxListBytes = 16u << 20;
  std::unordered_map<std::int64_t, SubKeyList> subKeyCache;
  std::unordered_map<std::int64_t, ValueList> valueListCache;
  std::size_t listBytes = 0;

  // True when the cache may be used for the read about to be made; empties it when the
  // registry changed. Read before the database is, so a commit that lands in between makes
  // the entry about to be added stale at once.
  bool CacheCurrent() {
    const std::optional<std::uint64_t> generation = changes.Load();
    if (!generation) return false;
    if (generation != cachedGeneration || keyCache.size() + valueCache.size() +
                                                  missingValues.size() + subKeyCache.size() +
                                                  valueListCache.size() >
                                              kMaxCached) {
      keyCache.clear();
      valueCache.clear();
      missingValues.clear();
      DropLists();
      cachedGeneration = generation;
    }
    return true;
  }

  void DropLists() {
    subKeyCache.clear();
    valueListCache.clear();
    listBytes = 0;
  }

  void MakeRoomForList(std::size_t bytes) {
    if (listBytes + bytes > kMaxListBytes) DropLists();
    listBytes += bytes;
  }

  // All subkey names of a key in one query; nullopt when the key does not exist.
  Result<SubKeyList> ReadSubKeys(std::int64_t id) {
    std::vector<std::string> names;
    {
      StmtUse use(subKeyNames.get());
      sqlite3_bind_int64(use.get(), 1, id);
      int rc;
      while ((rc = sqlite3_step(use.get())) == SQLITE_ROW)
        names.push_back(ColumnText(use.get(), 0));
      if (rc != SQLITE_DONE) return Result<SubKeyList>::Failure(Fail(rc, "enum keys"));
    }
    // A key with subkeys exists: deleting a key takes its subkeys in the same commit.
    if (names.empty()) {
      const Result<bool> exists = KeyExists(id);
      if (!exists) return Result<SubKeyList>::Failure(exists.error());
      if (!*exists) return SubKeyList();
    }
    return SubKeyList(std::move(names));
  }

  // The cached list of a key in `cache`, read by `read` when missing and charged `size` bytes
  // per entry. Only while CacheCurrent() holds; the pointer is good until the next cache call.
  template <class List, class ReadList, class EntryBytes>
  Result<const List*> CachedList(std::unordered_map<std::int64_t, List>& cache, std::int64_t id,
                                 ReadList read, EntryBytes entryBytes) {
    const auto hit = cache.find(id);
    if (hit != cache.end()) return &hit->second;
    Result<List> list = read(id);
    if (!list) return Result<const List*>::Failure(list.error());
    std::size_t bytes = sizeof(List);
    if (*list) {
      for (const auto& entry : **list) bytes += entryBytes(entry);
    }
    MakeRoomForList(bytes);
    return &cache.emplace(id, std::move(*list)).first->second;
  }

  Result<const SubKeyList*> CachedSubKeys(std::int64_t id) {
    return CachedList(
        subKeyCache, id, [this](std::int64_t key) { return ReadSubKeys(key); },
        [](const std::string& name) { return sizeof(std::string) + name.size(); });
  }

  // All values of a key in creation order in one query; nullopt when the key does not exist.
  Result<ValueList> ReadValues(std::int64_t id) {
    std::vector<RegKey::NamedValue> values;
    {
      StmtUse use(valueList.get());
      sqlite3_bind_int64(use.get(), 1, id);
      int rc;
      while ((rc = sqlite3_step(use.get())) == SQLITE_ROW) {
        RegKey::NamedValue named;
        named.name = ColumnText(use.get(), 0);
        named.value.type = static_cast<RegType>(sqlite3_column_int64(use.get(), 1));
        named.value.data = ColumnBlob(use.get(), 2);
        values.push_back(std::move(named));
      }
      if (rc != SQLITE_DONE) return Result<ValueList>::Failure(Fail(rc, "enum values"));
    }
    // Values may outlive nothing: deleting a key deletes its values in the same commit.
    if (values.empty()) {
      const Result<bool> exists = KeyExists(id);
      if (!exists) return Result<ValueList>::Failure(exists.error());
      if (!*exists) return ValueList();
    }
    return ValueList(std::move(values));
  }

  Result<const ValueList*> CachedValues(std::int64_t id) {
    return CachedList(
        valueListCache, id, [this](std::int64_t key) { return ReadValues(key); },
        [](const RegKey::NamedValue& named) {
          return sizeof(RegKey::NamedValue) + named.name.size() + named.value.data.size();
        });
  }

  static std::string ValueCacheKey(std::int64_t id, std::string_view foldedName) {
    std::string key(reinterpret_cast<const char*>(&id), sizeof id);
    key += foldedName;
    return key;
  }

  std::string LastError() const { return db ? sqlite3_errmsg(db.get()) : std::string(); }

  WinError Fail(int rc, const char* what) {
    const WinError error = MapSqliteError(rc);
    TraceF("registry %s: %s (%s)\n", what, LastError().c_str(), file.c_str());
    return error;
  }

  [[nodiscard]] int Prepare(StmtPtr& stmt, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    stmt.reset(raw);
    return rc;
  }

  // Runs body inside one immediate (write-locking) transaction: the whole operation sees one
  // state of the store and commits as a unit. body returns kErrorSuccess to commit.
  template <class Body>
  WinError Write(Body&& body) {
    int rc;
    {
      StmtUse use(begin.get());
      rc = sqlite3_step(use.get());
    }
    if (rc != SQLITE_DONE) return Fail(rc, "begin");
    const WinError result = body();
    if (result != kErrorSuccess) {
      StmtUse use(rollback.get());
      (void)sqlite3_step(use.get());
      return result;
    }
    {
      StmtUse use(commit.get());
      rc = sqlite3_step(use.get());
    }
    if (rc != SQLITE_DONE) {
      const WinError error = Fail(rc, "commit");
      StmtUse use(rollback.get());
      (void)sqlite3_step(use.get());
      return error;
    }
    changes.Bump();
    return kErrorSuccess;
  }

  // Looks a key up by its folded full path. Inside a write transaction the cache is not used:
  // the transaction's own changes are not counted until it commits.
  Result<std::optional<Found>> FindKey(const std::string& lpath, bool useCache = false) {
    const bool cache = useCache && CacheCurrent();
    if (cache) {
      const auto hit = keyCache.find(lpath);
      if (hit != keyCache.end()) return hit->second;
    }
    StmtUse use(keyByPath.get());
    BindText(use.get(), 1, lpath);
    const int rc = sqlite3_step(use.get());
    std::optional<Found> found;
    if (rc == SQLITE_ROW) {
      found = Found{sqlite3_column_int64(use.get(), 0), ColumnText(use.get(), 1)};
    } else if (rc != SQLITE_DONE) {
      return Result<std::optional<Found>>::Failure(Fail(rc, "open key"));
    }
    if (cache) keyCache.emplace(lpath, found);
    return found;
  }

  Result<bool> KeyExists(std::int64_t id) {
    StmtUse use(keyExists.get());
    sqlite3_bind_int64(use.get(), 1, id);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    return Result<bool>::Failure(Fail(rc, "key check"));
  }

  // The error for a missing item below a key: the key itself may have been deleted meanwhile.
  WinError MissingBelow(std::int64_t id) {
    const Result<bool> exists = KeyExists(id);
    if (!exists) return exists.error();
    return *exists ? kErrorFileNotFound : kErrorKeyDeleted;
  }

  Result<std::uint32_t> Count(StmtPtr& stmt, std::int64_t id) {
    StmtUse use(stmt.get());
    sqlite3_bind_int64(use.get(), 1, id);
    const int rc = sqlite3_step(use.get());
    if (rc != SQLITE_ROW) return Result<std::uint32_t>::Failure(Fail(rc, "count"));
    return static_cast<std::uint32_t>(sqlite3_column_int64(use.get(), 0));
  }

  WinError StepDone(StmtPtr& stmt, const char* what,
                    const std::function<void(sqlite3_stmt*)>& bind) {
    StmtUse use(stmt.get());
    bind(use.get());
    const int rc = sqlite3_step(use.get());
    return rc == SQLITE_DONE ? kErrorSuccess : Fail(rc, what);
  }
};

namespace {

std::string DescribeErrno(const std::filesystem::path& file, const char* what, int error) {
  return file.string() + ": " + what + ": " + std::strerror(error);
}

// Creates the database file readable by everyone before SQLite sees it: a process that may not
// write the registry must still read it, whatever umask its creator ran under. SQLite gives the
// -wal and -shm files the mode of the database file, so they follow.
WinError CreateDatabaseFile(const std::filesystem::path& file, std::string* errorText) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return kErrorSuccess;  // another process was first
    const int error = errno;
    if (errorText) *errorText = DescribeErrno(file, "cannot create the registry", error);
    return error == EACCES || error == EPERM || error == EROFS ? kErrorAccessDenied
                                                               : kErrorRegistryIoFailed;
  }
  const int chmodResult = ::fchmod(fd, 0644);
  ::close(fd);
  if (chmodResult != 0) {
    TraceF("registry: cannot make %s readable by everyone\n", file.c_str());
  }
  return kErrorSuccess;
}

}  // namespace

Result<std::unique_ptr<Registry>> Registry::Open(const std::filesystem::path& databaseFile,
                                                 std::string* errorText) {
  using R = Result<std::unique_ptr<Registry>>;
  auto impl = std::make_unique<Impl>();
  impl->file = databaseFile;
  const auto fail = [&](WinError error, const std::string& text) {
    if (errorText) *errorText = text;
    TraceF("registry: %s\n", text.c_str());
    return R::Failure(error);
  };

  struct stat info {};
  if (::stat(databaseFile.c_str(), &info) != 0) {
    if (errno != ENOENT) {
      return fail(kErrorRegistryIoFailed,
                  DescribeErrno(databaseFile, "cannot read the registry", errno));
    }
    std::string createError;
    const WinError created = CreateDatabaseFile(databaseFile, &createError);
    if (created != kErrorSuccess) return fail(created, createError);
  } else if (!S_ISREG(info.st_mode)) {
    return fail(kErrorRegistryIoFailed,
                databaseFile.string() + ": cannot read the registry: not a regular file");
  }
  if (::access(databaseFile.c_str(), R_OK) != 0) {
    return fail(kErrorRegistryIoFailed,
                DescribeErrno(databaseFile, "cannot read the registry", errno));
  }
  // File permissions decide who administers this machine: whoever may write its registry.
  impl->admin = ::access(databaseFile.c_str(), W_OK) == 0;

  sqlite3* raw = nullptr;
  const int flags = (impl->admin ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  int rc = sqlite3_open_v2(databaseFile.c_str(), &raw, flags, nullptr);
  impl->db.reset(raw);
  if (rc != SQLITE_OK) {
    return fail(kErrorRegistryIoFailed, databaseFile.string() + ": cannot open the registry: " +
                                            (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  sqlite3* db = impl->db.get();
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  if (impl->admin) {
    // Keep the -wal and -shm files when the last writer closes: a reader without write access
    // to the root cannot create them, and could not read the registry without them.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  }

  const auto exec = [&](const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  };
  const auto sqliteFailure = [&](int code, const char* what) {
    const WinError error = MapSqliteError(code);
    std::string text = databaseFile.string() + ": " + what + ": " + sqlite3_errmsg(db);
    if (error == kErrorRegistryCorrupt) {
      text = databaseFile.string() + ": not a registry database (" + sqlite3_errmsg(db) + ")";
    }
    return fail(error == kErrorRegistryCorrupt ? kErrorRegistryCorrupt : kErrorRegistryIoFailed,
                text);
  };

  // Reading the schema is the first access to the file: garbage fails here, before anything
  // could be written to it.
  enum class Kind { kEmpty, kOurs, kForeign };
  const auto inspect = [&]() -> Result<Kind> {
    sqlite3_stmt* stmtRaw = nullptr;
    int code = sqlite3_prepare_v2(
        db, "SELECT count(*), sum(name = 'meta' AND type = 'table') FROM sqlite_master", -1,
        &stmtRaw, nullptr);
    StmtPtr stmt(stmtRaw);
    if (code == SQLITE_OK) code = sqlite3_step(stmt.get());
    if (code != SQLITE_ROW) return Result<Kind>::Failure(static_cast<WinError>(code));
    if (sqlite3_column_int64(stmt.get(), 0) == 0) return Kind::kEmpty;
    if (sqlite3_column_int64(stmt.get(), 1) != 1) return Kind::kForeign;
    return Kind::kOurs;
  };
  Result<Kind> kind = inspect();
  if (!kind) return sqliteFailure(static_cast<int>(kind.error()), "cannot read the registry");
  if (*kind == Kind::kForeign) {
    return fail(kErrorRegistryCorrupt,
                databaseFile.string() + ": not a registry database (unknown tables)");
  }
  if (*kind == Kind::kEmpty && !impl->admin) {
    return fail(
        kErrorRegistryIoFailed,
        databaseFile.string() + ": the registry is empty and may not be set up by this user");
  }
  if (impl->admin) {
    rc = exec("PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK) return sqliteFailure(rc, "cannot switch the registry to WAL");
  }
  rc = exec("PRAGMA synchronous=NORMAL");
  if (rc != SQLITE_OK) return sqliteFailure(rc, "cannot configure the registry");
  if (*kind == Kind::kEmpty) {
    // Two processes may set up the same new registry at once: the write lock orders them and
    // the second finds the first one's tables.
    rc = exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return sqliteFailure(rc, "cannot set up the registry");
    kind = inspect();
    if (kind && *kind == Kind::kEmpty) {
      rc = exec(kSchema);
      if (rc == SQLITE_OK) {
        const std::string meta = std::string("INSERT INTO meta VALUES('format','") + kFormatName +
                                 "'),('version','" + kFormatVersion + "')";
        rc = exec(meta.c_str());
      }
      if (rc != SQLITE_OK) {
        auto result = sqliteFailure(rc, "cannot set up the registry");
        (void)exec("ROLLBACK");
        return result;
      }
    }
    rc = exec("COMMIT");
    if (rc != SQLITE_OK) {
      auto result = sqliteFailure(rc, "cannot set up the registry");
      (void)exec("ROLLBACK");
      return result;
    }
  }

  {
    sqlite3_stmt* stmtRaw = nullptr;
    rc = sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE name = 'format'", -1, &stmtRaw,
                            nullptr);
    StmtPtr stmt(stmtRaw);
    if (rc == SQLITE_OK) rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW || ColumnText(stmt.get(), 0) != kFormatName) {
      return fail(kErrorRegistryCorrupt,
                  databaseFile.string() + ": not a registry database (unknown format)");
    }
  }

  struct Statement {
    StmtPtr* stmt;
    const char* sql;
  };
  Impl& i = *impl;
  const Statement statements[] = {
      {&i.keyByPath, "SELECT id, path FROM keys WHERE lpath = ?1"},
      {&i.keyExists, "SELECT 1 FROM keys WHERE id = ?1"},
      {&i.valueByName, "SELECT type, data FROM vals WHERE key = ?1 AND lname = ?2"},
      {&i.upsertValue,
       "INSERT INTO vals(key, name, lname, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
       "ON CONFLICT(key, lname) DO UPDATE SET type = excluded.type, data = excluded.data"},
      {&i.insertKey, "INSERT INTO keys(parent, name, path, lpath) VALUES(?1, ?2, ?3, ?4)"},
      {&i.keyByIndex, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2"},
      {&i.valueByIndex,
       "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2"},
      {&i.subKeyNames, "SELECT name FROM keys WHERE parent = ?1 ORDER BY id"},
      {&i.valueList, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"},
      {&i.countKeys, "SELECT count(*) FROM keys WHERE parent = ?1"},
      {&i.countValues, "SELECT count(*) FROM vals WHERE key = ?1"},
      {&i.deleteValue, "DELETE FROM vals WHERE key = ?1 AND lname = ?2"},
      {&i.hasSubKeys, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"},
      {&i.deleteKeyValues, "DELETE FROM vals WHERE key = ?1"},
      {&i.deleteKey, "DELETE FROM keys WHERE id = ?1"},
      // A descendant's folded path starts with the key's folded path and "\"; "]" is the byte
      // after "\", so the range below is exactly those paths and uses the lpath index.
      {&i.deleteTreeValues,
       "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE lpath = ?1 OR "
       "(lpath >= ?1 || '\\' AND lpath < ?1 || ']'))"},
      {&i.deleteTreeKeys,
       "DELETE FROM keys WHERE lpath = ?1 OR (lpath >= ?1 || '\\' AND lpath < ?1 || ']')"},
      {&i.deleteBelowValues,
       "DELETE FROM vals WHERE key IN (SELECT id FROM keys WHERE "
       "lpath >= ?1 || '\\' AND lpath < ?1 || ']')"},
      {&i.deleteBelowKeys, "DELETE FROM keys WHERE lpath >= ?1 || '\\' AND lpath < ?1 || ']'"},
      {&i.deleteAllValues, "DELETE FROM vals WHERE key <> 1"},
      {&i.deleteAllKeys, "DELETE FROM keys WHERE id <> 1"},
      {&i.begin, "BEGIN IMMEDIATE"},
      {&i.commit, "COMMIT"},
      {&i.rollback, "ROLLBACK"},
  };
  for (const Statement& statement : statements) {
    rc = i.Prepare(*statement.stmt, statement.sql);
    if (rc != SQLITE_OK) return sqliteFailure(rc, "cannot prepare the registry");
  }
  i.changes.Open(databaseFile.string() + "-gen", i.admin);
  return std::unique_ptr<Registry>(new Registry(std::move(impl)));
}

Registry::Registry(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Registry::~Registry() = default;

bool Registry::IsAdministrator() const {
  return impl_->admin;
}
const std::filesystem::path& Registry::File() const {
  return impl_->file;
}
std::optional<std::uint64_t> Registry::ChangeCount() const {
  return impl_->changes.Load();
}

// ---------------------------------------------------------------------------------------------
// RegKey

RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)),
      id_(std::exchange(other.id_, 0)),
      path_(std::move(other.path_)),
      access_(other.access_) {}
RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = std::exchange(other.id_, 0);
    path_ = std::move(other.path_);
    access_ = other.access_;
  }
  return *this;
}

Result<RegKey> RegKey::Open(Registry& registry, std::string_view path, RegAccess access) {
  if (access != RegAccess::kRead && !registry.IsAdministrator()) {
    return Result<RegKey>::Failure(kErrorAccessDenied);
  }
  const auto names = SplitPath(path);
  if (!names) return Result<RegKey>::Failure(kErrorInvalidParameter);
  std::string folded;
  for (std::string_view name : *names) folded = JoinPath(folded, Fold(name));
  Registry::Impl& impl = registry.impl();
  std::lock_guard lock(impl.mutex);
  auto found = impl.FindKey(folded, /*useCache=*/true);
  if (!found) return Result<RegKey>::Failure(found.error());
  if (!found->has_value()) return Result<RegKey>::Failure(kErrorFileNotFound);
  return RegKey(&registry, (*found)->id, std::move((*found)->path), access);
}

Result<RegKey> RegKey::Create(Registry& registry, std::string_view path, RegAccess access,
                              bool* created) {
  if (!registry.IsAdministrator()) return Result<RegKey>::Failure(kErrorAccessDenied);
  const auto names = SplitPath(path);
  if (!names) return Result<RegKey>::Failure(kErrorInvalidParameter);
  Registry::Impl& impl = registry.impl();
  std::lock_guard lock(impl.mutex);
  std::int64_t id = kRootId;
  std::string storedPath;
  std::string folded;
  bool madeLast = false;
  const WinError error = impl.Write([&]() -> WinError {
    for (std::string_view name : *names) {
      folded = JoinPath(folded, Fold(name));
      auto found = impl.FindKey(folded);
      if (!found) return found.error();
      if (found->has_value()) {
        id = (*found)->id;
        storedPath = std::move((*found)->path);
        madeLast = false;
        continue;
      }
      const std::string newPath = JoinPath(storedPath, name);
      const WinError inserted = impl.StepDone(impl.insertKey, "create key", [&](sqlite3_stmt* s) {
        sqlite3_bind_int64(s, 1, id);
        BindText(s, 2, name);
        BindText(s, 3, newPath);
        BindText(s, 4, folded);
      });
      if (inserted != kErrorSuccess) return inserted;
      id = sqlite3_last_insert_rowid(impl.db.get());
      storedPath = newPath;
      madeLast = true;
    }
    return kErrorSuccess;
  });
  if (error != kErrorSuccess) return Result<RegKey>::Failure(error);
  if (created) *created = madeLast;
  return RegKey(&registry, id, std::move(storedPath), access);
}

Result<RegKey> RegKey::OpenSubKey(std::string_view path, RegAccess access) const {
  if (!registry_) return Result<RegKey>::Failure(kErrorInvalidHandle);
  if (path.empty()) {
    // RegOpenKeyEx with an empty name gives a new handle to the same key.
    if (access != RegAccess::kRead && !registry_->IsAdministrator()) {
      return Result<RegKey>::Failure(kErrorAccessDenied);
    }
    Registry::Impl& impl = registry_->impl();
    std::lock_guard lock(impl.mutex);
    const Result<bool> exists = impl.KeyExists(id_);
    if (!exists) return Result<RegKey>::Failure(exists.error());
    if (!*exists) return Result<RegKey>::Failure(kErrorKeyDeleted);
    return RegKey(registry_, id_, path_, access);
  }
  if (!path.empty() && path.front() == '\\') return Result<RegKey>::Failure(kErrorInvalidParameter);
  return Open(*registry_, JoinPath(path_, path), access);
}

Result<RegKey> RegKey::CreateSubKey(std::string_view path, RegAccess access, bool* created) const {
  if (!registry_) return Result<RegKey>::Failure(kErrorInvalidHandle);
  if (!path.empty() && path.front() == '\\') return Result<RegKey>::Failure(kErrorInvalidParameter);
  {
    Registry::Impl& impl = registry_->impl();
    std::lock_guard lock(impl.mutex);
    const Result<bool> exists = impl.KeyExists(id_);
    if (!exists) return Result<RegKey>::Failure(exists.error());
    if (!*exists) return Result<RegKey>::Failure(kErrorKeyDeleted);
  }
  if (path.empty()) {
    if (!registry_->IsAdministrator()) return Result<RegKey>::Failure(kErrorAccessDenied);
    if (created) *created = false;
    return RegKey(registry_, id_, path_, access);
  }
  return Create(*registry_, JoinPath(path_, path), access, created);
}

Result<RegValue> RegKey::QueryValue(std::string_view name) const {
  if (!registry_) return Result<RegValue>::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  const std::string folded = Fold(name);
  std::lock_guard lock(impl.mutex);
  const bool cache = impl.CacheCurrent();
  std::string cacheKey;
  if (cache) {
    cacheKey = Registry::Impl::ValueCacheKey(id_, folded);
    const auto hit = impl.valueCache.find(cacheKey);
    if (hit != impl.valueCache.end()) return hit->second;
    if (impl.missingValues.count(cacheKey) != 0) {
      return Result<RegValue>::Failure(kErrorFileNotFound);
    }
  }
  {
    StmtUse use(impl.valueByName.get());
    sqlite3_bind_int64(use.get(), 1, id_);
    BindText(use.get(), 2, folded);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) {
      RegValue value;
      value.type = static_cast<RegType>(sqlite3_column_int64(use.get(), 0));
      value.data = ColumnBlob(use.get(), 1);
      if (cache) impl.valueCache.emplace(std::move(cacheKey), value);
      return value;
    }
    if (rc != SQLITE_DONE) return Result<RegValue>::Failure(impl.Fail(rc, "query value"));
  }
  const WinError missing = impl.MissingBelow(id_);
  if (cache && missing == kErrorFileNotFound) impl.missingValues.emplace(std::move(cacheKey), true);
  return Result<RegValue>::Failure(missing);
}

Result<std::uint32_t> RegKey::QueryDword(std::string_view name) const {
  Result<RegValue> value = QueryValue(name);
  if (!value) return Result<std::uint32_t>::Failure(value.error());
  if (value->type != RegType::kDword || value->data.size() != 4) {
    return Result<std::uint32_t>::Failure(kErrorInvalidData);
  }
  const auto& d = value->data;
  return static_cast<std::uint32_t>(d[0]) | (static_cast<std::uint32_t>(d[1]) << 8) |
         (static_cast<std::uint32_t>(d[2]) << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
}

Result<std::string> RegKey::QueryString(std::string_view name) const {
  Result<RegValue> value = QueryValue(name);
  if (!value) return Result<std::string>::Failure(value.error());
  if (value->type != RegType::kSz && value->type != RegType::kExpandSz) {
    return Result<std::string>::Failure(kErrorInvalidData);
  }
  const auto& d = value->data;
  std::string text(d.begin(), d.end());
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  return text;
}

Result<std::vector<std::string>> RegKey::QueryMultiString(std::string_view name) const {
  Result<RegValue> value = QueryValue(name);
  if (!value) return Result<std::vector<std::string>>::Failure(value.error());
  if (value->type != RegType::kMultiSz) {
    return Result<std::vector<std::string>>::Failure(kErrorInvalidData);
  }
  std::vector<std::string> texts;
  const auto& d = value->data;
  std::size_t start = 0;
  while (start < d.size()) {
    std::size_t end = start;
    while (end < d.size() && d[end] != 0) ++end;
    // An empty text ends the list, as the double terminator does.
    if (end == start) break;
    texts.emplace_back(d.begin() + static_cast<std::ptrdiff_t>(start),
                       d.begin() + static_cast<std::ptrdiff_t>(end));
    start = end + 1;
  }
  return texts;
}

WinError RegKey::SetValue(std::string_view name, RegType type, std::span<const std::uint8_t> data) {
  if (!registry_) return kErrorInvalidHandle;
  if (access_ == RegAccess::kRead || !registry_->IsAdministrator()) return kErrorAccessDenied;
  if (name.size() > kMaxValueNameLength) return kErrorInvalidParameter;
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return kErrorInvalidParameter;
  }
  Registry::Impl& impl = registry_->impl();
  const std::string folded = Fold(name);
  std::lock_guard lock(impl.mutex);
  return impl.Write([&]() -> WinError {
    const Result<bool> exists = impl.KeyExists(id_);
    if (!exists) return exists.error();
    if (!*exists) return kErrorKeyDeleted;
    return impl.StepDone(impl.upsertValue, "set value", [&](sqlite3_stmt* s) {
      sqlite3_bind_int64(s, 1, id_);
      BindText(s, 2, name);
      BindText(s, 3, folded);
      sqlite3_bind_int64(s, 4, static_cast<std::int64_t>(type));
      // A zero-length blob must still be stored as a blob, not as NULL.
      sqlite3_bind_blob(s, 5, data.empty() ? "" : static_cast<const void*>(data.data()),
                        static_cast<int>(data.size()), SQLITE_TRANSIENT);
    });
  });
}

WinError RegKey::SetDword(std::string_view name, std::uint32_t value) {
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  return SetValue(name, RegType::kDword, bytes);
}

WinError RegKey::SetString(std::string_view name, std::string_view text, RegType type) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return SetValue(name, type, bytes);
}

WinError RegKey::SetMultiString(std::string_view name, const std::vector<std::string>& texts) {
  std::vector<std::uint8_t> bytes;
  for (const std::string& text : texts) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  return SetValue(name, RegType::kMultiSz, bytes);
}

Result<std::string> RegKey::EnumKey(std::uint32_t index) const {
  if (!registry_) return Result<std::string>::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  if (impl.CacheCurrent()) {
    const auto names = impl.CachedSubKeys(id_);
    if (!names) return Result<std::string>::Failure(names.error());
    if (!**names) return Result<std::string>::Failure(kErrorKeyDeleted);
    const std::vector<std::string>& list = ***names;
    if (index >= list.size()) return Result<std::string>::Failure(kErrorNoMoreItems);
    return list[index];
  }
  {
    StmtUse use(impl.keyByIndex.get());
    sqlite3_bind_int64(use.get(), 1, id_);
    sqlite3_bind_int64(use.get(), 2, index);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) return ColumnText(use.get(), 0);
    if (rc != SQLITE_DONE) return Result<std::string>::Failure(impl.Fail(rc, "enum key"));
  }
  const WinError missing = impl.MissingBelow(id_);
  return Result<std::string>::Failure(missing == kErrorFileNotFound ? kErrorNoMoreItems : missing);
}

Result<std::vector<std::string>> RegKey::EnumKeys() const {
  using R = Result<std::vector<std::string>>;
  if (!registry_) return R::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  if (impl.CacheCurrent()) {
    const auto names = impl.CachedSubKeys(id_);
    if (!names) return R::Failure(names.error());
    if (!**names) return R::Failure(kErrorKeyDeleted);
    return ***names;
  }
  Result<Registry::Impl::SubKeyList> names = impl.ReadSubKeys(id_);
  if (!names) return R::Failure(names.error());
  if (!*names) return R::Failure(kErrorKeyDeleted);
  return std::move(**names);
}

Result<RegKey::NamedValue> RegKey::EnumValue(std::uint32_t index) const {
  if (!registry_) return Result<NamedValue>::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  if (impl.CacheCurrent()) {
    const auto values = impl.CachedValues(id_);
    if (!values) return Result<NamedValue>::Failure(values.error());
    if (!**values) return Result<NamedValue>::Failure(kErrorKeyDeleted);
    const std::vector<NamedValue>& list = ***values;
    if (index >= list.size()) return Result<NamedValue>::Failure(kErrorNoMoreItems);
    return list[index];
  }
  {
    StmtUse use(impl.valueByIndex.get());
    sqlite3_bind_int64(use.get(), 1, id_);
    sqlite3_bind_int64(use.get(), 2, index);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) {
      NamedValue named;
      named.name = ColumnText(use.get(), 0);
      named.value.type = static_cast<RegType>(sqlite3_column_int64(use.get(), 1));
      named.value.data = ColumnBlob(use.get(), 2);
      return named;
    }
    if (rc != SQLITE_DONE) return Result<NamedValue>::Failure(impl.Fail(rc, "enum value"));
  }
  const WinError missing = impl.MissingBelow(id_);
  return Result<NamedValue>::Failure(missing == kErrorFileNotFound ? kErrorNoMoreItems : missing);
}

Result<std::uint32_t> RegKey::SubKeyCount() const {
  if (!registry_) return Result<std::uint32_t>::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  const WinError missing = impl.MissingBelow(id_);
  if (missing != kErrorFileNotFound) return Result<std::uint32_t>::Failure(missing);
  return impl.Count(impl.countKeys, id_);
}

Result<std::uint32_t> RegKey::ValueCount() const {
  if (!registry_) return Result<std::uint32_t>::Failure(kErrorInvalidHandle);
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  const WinError missing = impl.MissingBelow(id_);
  if (missing != kErrorFileNotFound) return Result<std::uint32_t>::Failure(missing);
  return impl.Count(impl.countValues, id_);
}

WinError RegKey::DeleteValue(std::string_view name) {
  if (!registry_) return kErrorInvalidHandle;
  if (access_ == RegAccess::kRead || !registry_->IsAdministrator()) return kErrorAccessDenied;
  Registry::Impl& impl = registry_->impl();
  const std::string folded = Fold(name);
  std::lock_guard lock(impl.mutex);
  return impl.Write([&]() -> WinError {
    const WinError step = impl.StepDone(impl.deleteValue, "delete value", [&](sqlite3_stmt* s) {
      sqlite3_bind_int64(s, 1, id_);
      BindText(s, 2, folded);
    });
    if (step != kErrorSuccess) return step;
    if (sqlite3_changes(impl.db.get()) > 0) return kErrorSuccess;
    return impl.MissingBelow(id_);
  });
}

WinError RegKey::DeleteSubKey(std::string_view path) {
  if (!registry_) return kErrorInvalidHandle;
  if (!registry_->IsAdministrator()) return kErrorAccessDenied;
  if (!path.empty() && path.front() == '\\') return kErrorInvalidParameter;
  const std::string full = JoinPath(path_, path);  // names below point into it
  const auto names = SplitPath(full);
  if (!names) return kErrorInvalidParameter;
  if (names->empty()) return kErrorAccessDenied;  // HKEY_LOCAL_MACHINE itself stays
  std::string folded;
  for (std::string_view name : *names) folded = JoinPath(folded, Fold(name));
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  return impl.Write([&]() -> WinError {
    const Result<bool> self = impl.KeyExists(id_);
    if (!self) return self.error();
    if (!*self) return kErrorKeyDeleted;
    auto found = impl.FindKey(folded);
    if (!found) return found.error();
    if (!found->has_value()) return kErrorFileNotFound;
    const std::int64_t target = (*found)->id;
    {
      StmtUse use(impl.hasSubKeys.get());
      sqlite3_bind_int64(use.get(), 1, target);
      const int rc = sqlite3_step(use.get());
      if (rc == SQLITE_ROW) return kErrorAccessDenied;
      if (rc != SQLITE_DONE) return impl.Fail(rc, "delete key");
    }
    const auto bindTarget = [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, target); };
    const WinError values = impl.StepDone(impl.deleteKeyValues, "delete key", bindTarget);
    if (values != kErrorSuccess) return values;
    return impl.StepDone(impl.deleteKey, "delete key", bindTarget);
  });
}

WinError RegKey::DeleteTree(std::string_view path) {
  if (!registry_) return kErrorInvalidHandle;
  if (!registry_->IsAdministrator()) return kErrorAccessDenied;
  if (!path.empty() && path.front() == '\\') return kErrorInvalidParameter;
  const std::string full = JoinPath(path_, path);  // names below point into it
  const auto names = SplitPath(full);
  if (!names) return kErrorInvalidParameter;
  std::string folded;
  for (std::string_view name : *names) folded = JoinPath(folded, Fold(name));
  const bool wholeKey = !path.empty();
  Registry::Impl& impl = registry_->impl();
  std::lock_guard lock(impl.mutex);
  return impl.Write([&]() -> WinError {
    const Result<bool> self = impl.KeyExists(id_);
    if (!self) return self.error();
    if (!*self) return kErrorKeyDeleted;
    auto found = impl.FindKey(folded);
    if (!found) return found.error();
    if (!found->has_value()) return kErrorFileNotFound;
    const std::int64_t target = (*found)->id;
    const auto bindPath = [&](sqlite3_stmt* s) { BindText(s, 1, folded); };
    const auto bindTarget = [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, target); };
    const auto none = [](sqlite3_stmt*) {};
    if (target == kRootId) {
      // Everything below HKEY_LOCAL_MACHINE, and its own values; the root key stays.
      WinError e = impl.StepDone(impl.deleteAllValues, "delete tree", none);
      if (e == kErrorSuccess) e = impl.StepDone(impl.deleteKeyValues, "delete tree", bindTarget);
      if (e == kErrorSuccess) e = impl.StepDone(impl.deleteAllKeys, "delete tree", none);
      return e;
    }
    if (wholeKey) {
      WinError e = impl.StepDone(impl.deleteTreeValues, "delete tree", bindPath);
      if (e == kErrorSuccess) e = impl.StepDone(impl.deleteTreeKeys, "delete tree", bindPath);
      return e;
    }
    // RegDeleteTree without a subkey empties the key: its values and all its subkeys.
    WinError e = impl.StepDone(impl.deleteBelowValues, "delete tree", bindPath);
    if (e == kErrorSuccess) e = impl.StepDone(impl.deleteKeyValues, "delete tree", bindTarget);
    if (e == kErrorSuccess) e = impl.StepDone(impl.deleteBelowKeys, "delete tree", bindPath);
    return e;
  });
}

}  // namespace uv::platform
