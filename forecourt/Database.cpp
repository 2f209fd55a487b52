#include "forecourt/Database.h"

#include <sqlite3.h>

#include <limits>

namespace fuel::forecourt {
namespace {

[[noreturn]] void Fail(sqlite3* db, std::string_view what) {
    throw DatabaseError(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "?"),
                        db != nullptr ? sqlite3_extended_errcode(db) : 0);
}

// A reader may meet the writer's checkpoint; it waits this long rather than fail at once.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

bool DatabaseError::CannotWrite() const {
    const int primary = code_ & 0xff;
    return primary == SQLITE_FULL || primary == SQLITE_IOERR;
}

bool CannotWrite(const std::exception_ptr& error) {
    if (!error)
        return false;
    try {
        std::rethrow_exception(error);
    } catch (const DatabaseError& e) {
        return e.CannotWrite();
    } catch (...) {
        return false;
    }
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

Statement& Statement::Bind(int index, double value) {
    if (sqlite3_bind_double(statement_, index, value) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

Statement& Statement::Bind(int index, std::string_view value) {
    if (value.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw DatabaseError("bind: text too long");
    }
    if (sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        Fail(db_, "bind");
    }
    return *this;
}

Statement& Statement::BindNull(int index) {
    if (sqlite3_bind_null(statement_, index) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

bool Statement::Step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    const std::string sql = sqlite3_sql(statement_) != nullptr ? sqlite3_sql(statement_) : "";
    sqlite3_reset(statement_);
    Fail(db_, sql);
}

void Statement::Run() {
    while (Step()) {
    }
}

void Statement::Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Statement::Integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

double Statement::Real(int column) const {
    return sqlite3_column_double(statement_, column);
}

std::string Statement::Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return text != nullptr
               ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size))
               : std::string();
}

std::optional<std::string> Statement::OptionalText(int column) const {
    if (IsNull(column))
        return std::nullopt;
    return Text(column);
}

Connection::Connection(const std::filesystem::path& path, Mode mode) {
    const int flags =
        mode == Mode::ReadWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw DatabaseError(path.string() + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    try {
        if (mode == Mode::ReadWrite) {
            // WAL: readers never wait for the writer; FULL: a commit is on the disk when it
            // returns, WAL or not, so that nothing we told anyone can be lost to a power cut.
            // SQLite answers with the mode it took, which a file system that cannot share
            // memory between processes (some network ones) leaves at another.
            Statement& wal = Prepare("PRAGMA journal_mode=WAL");
            const std::string taken = wal.Step() ? wal.Text(0) : std::string();
            wal.Reset();
            if (taken != "wal") {
                throw DatabaseError(path.string() + ": the journal needs write-ahead logging, " +
                                    "which this file system does not give (journal mode " +
                                    (taken.empty() ? "unknown" : taken) +
                                    "); put the journal on a local disk");
            }
        }
        Execute("PRAGMA synchronous=FULL");
        Execute("PRAGMA foreign_keys=ON");
    } catch (...) {
        statements_.clear();
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Connection::~Connection() {
    statements_.clear();
    sqlite3_close(db_);
}

void Connection::Execute(std::string_view sql) {
    char* message = nullptr;
    const std::string text(sql);
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw DatabaseError(reason + " (" + text.substr(0, 80) + ")",
                            sqlite3_extended_errcode(db_));
    }
}

Statement& Connection::Prepare(const std::string& sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement,
                               nullptr) != SQLITE_OK) {
            Fail(db_, sql);
        }
        found = statements_.emplace(sql, std::make_unique<Statement>(db_, statement)).first;
    }
    found->second->Reset();
    return *found->second;
}

std::int64_t Connection::LastInsertId() const {
    return sqlite3_last_insert_rowid(db_);
}

int Connection::Changes() const {
    return sqlite3_changes(db_);
}

int Connection::UserVersion() {
    Statement& statement = Prepare("PRAGMA user_version");
    statement.Step();
    const auto version = static_cast<int>(statement.Integer(0));
    statement.Reset();
    return version;
}

void Connection::SetUserVersion(int version) {
    Execute("PRAGMA user_version=" + std::to_string(version));
}

void Connection::BackUpTo(const std::filesystem::path& to) {
    sqlite3* copy = nullptr;
    if (sqlite3_open_v2(to.c_str(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const std::string message = copy != nullptr ? sqlite3_errmsg(copy) : "out of memory";
        sqlite3_close(copy);
        throw DatabaseError(to.string() + ": " + message);
    }
    struct Close {
        sqlite3* db;
        ~Close() { sqlite3_close(db); }
    } closeCopy{copy};
    sqlite3_extended_result_codes(copy, 1);
    // The copy is written with a rollback journal and synced at its commit, so that it is
    // whole on the disk once this returns.
    if (sqlite3_exec(copy, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(copy, to.string());
    sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
    if (backup == nullptr)
        Fail(copy, to.string());
    // All pages in one step: in steps, a write by the daemon between two of them would
    // start the copy again, without end on a busy station.
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK)
        Fail(copy, "backing up to " + to.string());
    // A file of its own, without a -wal beside it, to copy or move as it is; the daemon
    // takes it back to WAL when it opens it.
    if (sqlite3_exec(copy, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail(copy, to.string());
}

std::vector<std::string> Connection::IntegrityProblems(int limit) {
    std::vector<std::string> problems;
    Statement& check = Prepare("PRAGMA integrity_check(" + std::to_string(limit) + ")");
    while (check.Step()) {
        std::string line = check.Text(0);
        if (line != "ok")
            problems.push_back(std::move(line));
    }
    return problems;
}

void Connection::ResetStatements() {
    for (auto& [sql, statement] : statements_) {
        statement->Reset();
    }
}

}  // namespace fuel::forecourt
