#include "platform/linux/reg_hive.h"

#include <sys/stat.h>

#include <atomic>
#include <utility>

namespace platform::detail {

namespace {

// FULL: the service answers a filter addition only after its commit, so with FULL the reply means
// the filter is on the disk; NORMAL would survive a killed process but could lose the last
// commits to a power cut. One commit costs one WAL sync, so FULL runs at the disk's sync rate;
// registry_bench measures both against the additions a second the service must sustain.
std::atomic<bool> gFullSync{true};

// How long a call waits for another process's write before it gives up. Writes hold the store
// for milliseconds (readers, an export too, hold off nobody), and a killed holder lets go at
// once, so two seconds only run out when something is really stuck.
constexpr int kBusyTimeoutMs = 2000;
// "ZREG" marks our files; user_version is the layout's version.
constexpr int kApplicationId = 0x5a524547;
constexpr int kLayoutVersion = 1;

constexpr const char* kSchema =
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
    "CREATE TABLE vals(seq INTEGER PRIMARY KEY, key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " UNIQUE(key, name));"
    "INSERT INTO keys(id, parent, name) VALUES(1, 0, '');"
    "PRAGMA application_id = 1515341127;"
    "PRAGMA user_version = 1;";
static_assert(kApplicationId == 1515341127);

// The ids of a key and of every key below it. UNION (not UNION ALL) stops at a key seen before,
// so even a damaged file with a loop of parents cannot make the walk run forever.
#define ZREG_SUBTREE                                                                   \
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION SELECT keys.id FROM keys JOIN sub ON " \
    "keys.parent = sub.id) "

bool FileIdentity(const std::filesystem::path& path, std::uint64_t* device, std::uint64_t* inode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    *device = static_cast<std::uint64_t>(st.st_dev);
    *inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

// Never NULL: SQLite binds a null pointer as SQL NULL, and names and data are NOT NULL columns.
const char* NonNull(std::string_view s) {
    return s.data() ? s.data() : "";
}

}  // namespace

void SetCommitsReachDisk(bool full) {
    gFullSync = full;
}

namespace {

// "SQLite error 26 (file is not a database)": the store's own words for what went wrong.
std::string StoreProblem(sqlite3* db, int rc) {
    std::string text = "SQLite error " + std::to_string(rc) + " (" + sqlite3_errstr(rc);
    const char* detail = db ? sqlite3_errmsg(db) : nullptr;
    if (detail && std::string_view(detail) != sqlite3_errstr(rc)) {
        text += ": ";
        text += detail;
    }
    return text + ")";
}

// Whether a failure of the store means that the file is damaged, as opposed to the store being
// busy, out of memory or not ours to open.
bool IsDamage(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOMEM:
        case SQLITE_PERM:
        case SQLITE_AUTH:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_FULL:
        case SQLITE_INTERRUPT:
            return false;
        default:
            return true;
    }
}

// Opens `file` (never creating it) and reads all of it: the layout's marks, then every page.
Win32Error CheckOpenFile(const std::filesystem::path& file, std::string* problem) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    struct Closer {
        sqlite3* db;
        ~Closer() { sqlite3_close(db); }
    } closer{db};
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }
    auto failed = [&](int code) {
        *problem = StoreProblem(db, code);
        if (!IsDamage(code))
            return (code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED
                       ? kErrorSharingViolation
                   : (code & 0xff) == SQLITE_NOMEM ? kErrorNotEnoughMemory
                                                   : kErrorAccessDenied;
        return kErrorBadDb;
    };
    if (rc != SQLITE_OK) return db ? failed(rc) : kErrorNotEnoughMemory;

    // One read transaction: the marks and the pages are of one state of the file.
    if ((rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr)) != SQLITE_OK) return failed(rc);
    sqlite3_stmt* q = nullptr;
    rc = sqlite3_prepare_v2(db,
                            "SELECT (SELECT application_id FROM pragma_application_id),"
                            " (SELECT user_version FROM pragma_user_version),"
                            " (SELECT count(*) FROM sqlite_schema)",
                            -1, &q, nullptr);
    std::int64_t app = 0, version = 0, tables = 0;
    if (rc == SQLITE_OK && (rc = sqlite3_step(q)) == SQLITE_ROW) {
        app = sqlite3_column_int64(q, 0);
        version = sqlite3_column_int64(q, 1);
        tables = sqlite3_column_int64(q, 2);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(q);
    if (rc != SQLITE_OK) return failed(rc);
    if (app == 0 && tables == 0) return kErrorSuccess;  // empty: made but never written
    if (app != kApplicationId || version != kLayoutVersion) {
        *problem = "not a registry store of ours (application id " + std::to_string(app) +
                   ", layout " + std::to_string(version) + ")";
        return kErrorBadDb;
    }
    q = nullptr;
    rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &q, nullptr);
    std::string verdict;
    if (rc == SQLITE_OK && (rc = sqlite3_step(q)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(q, 0);
        verdict = text ? reinterpret_cast<const char*>(text) : "";
        rc = SQLITE_OK;
    }
    sqlite3_finalize(q);
    if (rc != SQLITE_OK) return failed(rc);
    if (verdict != "ok") {
        *problem = "SQLite error " + std::to_string(SQLITE_CORRUPT) + " (" +
                   sqlite3_errstr(SQLITE_CORRUPT) + ": " + verdict + ")";
        return kErrorBadDb;
    }
    return kErrorSuccess;
}

}  // namespace

Win32Error CheckHiveFile(const std::filesystem::path& file, std::string* problem) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(file, ec);
    if (!fs::exists(status)) {
        // A database that went while its write-ahead file stayed would come back from that file
        // alone, with whatever pages it happens to hold.
        for (const char* suffix : {"-wal", "-shm"}) {
            const fs::path side = file.string() + suffix;
            if (fs::exists(fs::symlink_status(side, ec))) {
                *problem = "the database file is missing, and its write-ahead file " +
                           side.filename().string() + " was left";
                return kErrorBadDb;
            }
        }
        return kErrorSuccess;
    }
    if (!fs::is_regular_file(status)) {
        *problem = "not a regular file";
        return kErrorBadDb;
    }
    return CheckOpenFile(file, problem);
}

Win32Error RegHive::SaveTo(const std::filesystem::path& target) {
    // The hive's own file takes in what its write-ahead file holds, so that after a save (an
    // orderly stop among them) the database file alone is the whole hive.
    Exec("PRAGMA wal_checkpoint(TRUNCATE)");
    std::error_code ec;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::filesystem::remove(target.string() + suffix, ec);
    sqlite3* copy = nullptr;
    int rc =
        sqlite3_open_v2(target.c_str(), &copy,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    Win32Error result = kErrorSuccess;
    if (rc == SQLITE_OK) {
        sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
        if (!backup) {
            rc = sqlite3_errcode(copy);
        } else {
            // All pages in one step: one read transaction on the hive, so one state of it.
            rc = sqlite3_backup_step(backup, -1);
            int finish = sqlite3_backup_finish(backup);
            rc = rc == SQLITE_DONE ? finish : rc;
        }
    }
    if (rc != SQLITE_OK) result = copy ? Error(rc) : kErrorNotEnoughMemory;
    // The copy is a file of its own: its write-ahead content goes into it before it closes.
    if (result == kErrorSuccess && sqlite3_exec(copy, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr,
                                                nullptr, nullptr) != SQLITE_OK)
        result = kErrorRegistryIoFailed;
    sqlite3_close(copy);
    if (result == kErrorSuccess) {
        std::string problem;
        if (CheckHiveFile(target, &problem) != kErrorSuccess) result = kErrorBadDb;
    }
    return result;
}

// A cached prepared statement, bound by position in call order and reset when it goes.
class RegHive::Statement {
  public:
    Statement(RegHive& hive, const char* sql) : hive_(hive), stmt_(hive.Prepared(sql)) {}
    ~Statement() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(std::int64_t v) {
        if (stmt_) sqlite3_bind_int64(stmt_, ++bound_, v);
        return *this;
    }
    Statement& Bind(std::string_view text) {
        if (stmt_)
            sqlite3_bind_text(stmt_, ++bound_, NonNull(text), static_cast<int>(text.size()),
                              SQLITE_STATIC);
        return *this;
    }
    Statement& BindBlob(std::string_view bytes) {
        if (stmt_)
            sqlite3_bind_blob(stmt_, ++bound_, NonNull(bytes), static_cast<int>(bytes.size()),
                              SQLITE_STATIC);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or the failure's code.
    int Step() { return stmt_ ? sqlite3_step(stmt_) : sqlite3_errcode(hive_.db_); }
    // kErrorSuccess when the statement ran to its end.
    Win32Error Run() {
        int rc = Step();
        return rc == SQLITE_DONE ? kErrorSuccess : hive_.Error(rc);
    }
    std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string Bytes(int col) const {
        const void* p = sqlite3_column_blob(stmt_, col);
        int n = sqlite3_column_bytes(stmt_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
                 : std::string();
    }

  private:
    RegHive& hive_;
    sqlite3_stmt* stmt_;
    int bound_ = 0;
};

Win32Error RegHive::Open(const std::filesystem::path& file, std::shared_ptr<RegHive>* hive) {
    std::shared_ptr<RegHive> h(new RegHive(file));
    int rc =
        sqlite3_open_v2(file.c_str(), &h->db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) return h->db_ ? h->Error(rc) : kErrorNotEnoughMemory;
    sqlite3_extended_result_codes(h->db_, 1);
    sqlite3_busy_timeout(h->db_, kBusyTimeoutMs);
    // Closing leaves the files as they are: a hive that goes because its file was moved aside or
    // replaced must not write into it, nor remove a write-ahead file by a name that may be the
    // next hive's.
    sqlite3_db_config(h->db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (Win32Error e = h->InitSchema()) return e;
    if (!FileIdentity(file, &h->device_, &h->inode_)) return kErrorCantOpen;
    *hive = std::move(h);
    return kErrorSuccess;
}

RegHive::~RegHive() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
}

bool RegHive::StillAt(const std::filesystem::path& path) const {
    std::uint64_t device = 0, inode = 0;
    return FileIdentity(path, &device, &inode) && device == device_ && inode == inode_;
}

Win32Error RegHive::InitSchema() {
    // WAL lets another process read while we write and makes a commit one append; the mode is
    // stored in the file, so this is a no-op after the first time.
    {
        Statement wal(*this, "PRAGMA journal_mode=WAL");
        int rc = wal.Step();
        if (rc != SQLITE_ROW) return Error(rc);
        if (wal.Bytes(0) != "wal") return kErrorRegistryIoFailed;
    }
    if (Win32Error e = Exec(gFullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL"))
        return e;
    if (Win32Error e = Exec("BEGIN IMMEDIATE")) return e;
    Win32Error result = kErrorSuccess;
    std::int64_t app = 0, version = 0, tables = 0;
    {
        Statement q(*this,
                    "SELECT (SELECT application_id FROM pragma_application_id),"
                    " (SELECT user_version FROM pragma_user_version),"
                    " (SELECT count(*) FROM sqlite_schema)");
        int rc = q.Step();
        if (rc == SQLITE_ROW) {
            app = q.Int(0);
            version = q.Int(1);
            tables = q.Int(2);
        } else {
            result = Error(rc);
        }
    }
    if (result == kErrorSuccess) {
        if (app == 0 && tables == 0) {
            int rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) result = Error(rc);
        } else if (app != kApplicationId || version != kLayoutVersion) {
            result = kErrorBadDb;  // somebody else's database, or a layout we do not know
        }
    }
    if (result == kErrorSuccess) result = Exec("COMMIT");
    if (result != kErrorSuccess && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
    return result;
}

sqlite3_stmt* RegHive::Prepared(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    statements_.emplace(sql, stmt);
    return stmt;
}

Win32Error RegHive::Exec(const char* sql) {
    Statement s(*this, sql);
    return s.Run();
}

Win32Error RegHive::Error(int rc) const {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return kErrorSuccess;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kErrorSharingViolation;
        case SQLITE_NOMEM:
            return kErrorNotEnoughMemory;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return kErrorAccessDenied;
        case SQLITE_FULL:
            return kErrorDiskFull;
        case SQLITE_TOOBIG:
            return kErrorInvalidParameter;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_ERROR:
            return kErrorBadDb;
        case SQLITE_CANTOPEN: {
            int err = db_ ? sqlite3_system_errno(db_) : 0;
            return err ? ErrorFromErrno(err) : kErrorCantOpen;
        }
        default:
            return kErrorRegistryIoFailed;
    }
}

Win32Error RegHive::CheckKey(KeyId key) {
    Statement q(*this, "SELECT 1 FROM keys WHERE id = ?");
    int rc = q.Bind(key).Step();
    if (rc == SQLITE_ROW) return kErrorSuccess;
    return rc == SQLITE_DONE ? kErrorKeyDeleted : Error(rc);
}

Win32Error RegHive::FindChild(KeyId parent, std::string_view name, KeyId* child) {
    Statement q(*this, "SELECT id FROM keys WHERE parent = ? AND name = ?");
    int rc = q.Bind(parent).Bind(name).Step();
    if (rc == SQLITE_ROW) {
        *child = q.Int(0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorFileNotFound : Error(rc);
}

Win32Error RegHive::AddChild(KeyId parent, std::string_view name, KeyId* child) {
    // A clash of random ids is all but impossible; a few tries make it impossible in practice,
    // and a clash of names cannot happen because the caller has just looked the name up.
    for (int attempt = 0; attempt < 4; ++attempt) {
        KeyId id = static_cast<KeyId>(ids_() >> 2) + 2;
        Statement q(*this, "INSERT OR IGNORE INTO keys(id, parent, name) VALUES(?, ?, ?)");
        if (Win32Error e = q.Bind(id).Bind(parent).Bind(name).Run()) return e;
        if (sqlite3_changes(db_) == 1) {
            *child = id;
            return kErrorSuccess;
        }
    }
    return kErrorRegistryCorrupt;
}

Win32Error RegHive::QueryValue(KeyId key, std::string_view name, DWORD* type, std::string* data) {
    Statement q(*this, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
    int rc = q.Bind(key).Bind(name).Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? kErrorFileNotFound : Error(rc);
    if (type) *type = static_cast<DWORD>(q.Int(0));
    if (data) *data = q.Bytes(1);
    return kErrorSuccess;
}

Win32Error RegHive::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
    Statement q(*this,
                "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?)"
                " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    return q.Bind(key).Bind(name).Bind(std::int64_t{type}).BindBlob(data).Run();
}

Win32Error RegHive::DeleteValue(KeyId key, std::string_view name) {
    Statement q(*this, "DELETE FROM vals WHERE key = ? AND name = ?");
    if (Win32Error e = q.Bind(key).Bind(name).Run()) return e;
    return sqlite3_changes(db_) == 0 ? kErrorFileNotFound : kErrorSuccess;
}

Win32Error RegHive::RenameChildren(KeyId parent, const std::vector<RegKeyRename>& renames,
                                   std::size_t* renamed) {
    *renamed = 0;
    for (const RegKeyRename& r : renames) {
        Statement q(*this, "UPDATE keys SET name = ? WHERE parent = ? AND name = ?");
        int rc = q.Bind(r.to).Bind(parent).Bind(r.from).Step();
        if ((rc & 0xff) == SQLITE_CONSTRAINT) return kErrorAlreadyExists;
        if (rc != SQLITE_DONE) return Error(rc);
        if (sqlite3_changes(db_) == 0) break;
        ++*renamed;
    }
    return kErrorSuccess;
}

Win32Error RegHive::DeleteTree(KeyId key, bool keepKey) {
    Statement values(*this, ZREG_SUBTREE "DELETE FROM vals WHERE key IN sub");
    if (Win32Error e = values.Bind(key).Run()) return e;
    Statement keys(*this, ZREG_SUBTREE "DELETE FROM keys WHERE id IN sub AND id <> ?2");
    return keys.Bind(key).Bind(keepKey ? key : 0).Run();
}

Win32Error RegHive::EnumKey(KeyId key, DWORD index, std::string* name) {
    Statement q(*this, "SELECT name FROM keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
    int rc = q.Bind(key).Bind(std::int64_t{index}).Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? kErrorNoMoreItems : Error(rc);
    if (name) *name = q.Bytes(0);
    return kErrorSuccess;
}

Win32Error RegHive::ListKeys(KeyId key, std::vector<std::string>* names) {
    Statement q(*this, "SELECT name FROM keys WHERE parent = ? ORDER BY name");
    q.Bind(key);
    names->clear();
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) names->push_back(q.Bytes(0));
    return rc == SQLITE_DONE ? kErrorSuccess : Error(rc);
}

Win32Error RegHive::EnumValue(KeyId key, DWORD index, std::string* name, DWORD* type,
                              std::string* data) {
    Statement q(*this,
                "SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq LIMIT 1 OFFSET ?");
    int rc = q.Bind(key).Bind(std::int64_t{index}).Step();
    if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? kErrorNoMoreItems : Error(rc);
    if (name) *name = q.Bytes(0);
    if (type) *type = static_cast<DWORD>(q.Int(1));
    if (data) *data = q.Bytes(2);
    return kErrorSuccess;
}

bool RegHive::TransactionLost() {
    // Some failures (an I/O error, memory running out), in a read as much as in a write, make
    // SQLite roll back the whole transaction by itself. A savepoint after that would open a new
    // transaction of its own, and its release would commit that write alone.
    if (inTransaction_ && !transactionLost_ && sqlite3_get_autocommit(db_))
        transactionLost_ = kErrorRegistryIoFailed;
    return transactionLost_ != kErrorSuccess;
}

Win32Error RegHive::BeginWrite() {
    if (inTransaction_) {
        if (snapshot_) return kErrorAccessDenied;
        if (TransactionLost()) return transactionLost_;
        return Exec("SAVEPOINT op");
    }
    // IMMEDIATE takes the write lock before the first read, so another process's commit can
    // only make us wait (busy timeout), never invalidate what we read.
    return Exec("BEGIN IMMEDIATE");
}

Win32Error RegHive::EndWrite(Win32Error result) {
    if (inTransaction_) {
        if (result == kErrorSuccess) result = Exec("RELEASE op");
        if (result != kErrorSuccess && !sqlite3_get_autocommit(db_)) {
            Exec("ROLLBACK TO op");
            Exec("RELEASE op");
        }
        // Some failures (a full disk, an I/O error) make SQLite roll back the whole
        // transaction. The writes after it would then land one by one, outside the group.
        if (sqlite3_get_autocommit(db_))
            transactionLost_ = result ? result : kErrorRegistryIoFailed;
        return result;
    }
    if (result == kErrorSuccess) result = Exec("COMMIT");
    if (result != kErrorSuccess && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
    return result;
}

Win32Error RegHive::BeginTransaction(bool snapshot) {
    if (inTransaction_) return kErrorNotSupported;
    if (Win32Error e = Exec(snapshot ? "BEGIN" : "BEGIN IMMEDIATE")) return e;
    // A deferred transaction takes its state at its first read: read now, so that the snapshot
    // is the state when it began.
    if (Win32Error e = snapshot ? CheckKey(kRootKey) : kErrorSuccess) {
        Exec("ROLLBACK");
        return e;
    }
    inTransaction_ = true;
    snapshot_ = snapshot;
    transactionLost_ = kErrorSuccess;
    return kErrorSuccess;
}

Win32Error RegHive::EndTransaction(bool commit) {
    TransactionLost();
    Win32Error result = transactionLost_;
    if (result == kErrorSuccess && commit) result = Exec("COMMIT");
    if ((result != kErrorSuccess || !commit) && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
    inTransaction_ = false;
    snapshot_ = false;
    transactionLost_ = kErrorSuccess;
    return result;
}

}  // namespace platform::detail
