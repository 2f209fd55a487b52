// A thin layer over SQLite's C API: a connection, its prepared statements kept for reuse,
// and errors as exceptions that carry SQLite's message. Nothing more: the SQL is written
// where it is used.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace fuel::forecourt {

class DatabaseError : public std::runtime_error {
  public:
    // code: SQLite's extended result code, 0 when the error is none of SQLite's.
    explicit DatabaseError(const std::string& what, int code = 0)
        : std::runtime_error(what), code_(code) {}
    int Code() const { return code_; }
    // The file cannot take what is written (SQLITE_FULL, SQLITE_IOERR): the disk is full or
    // failing, not the request. It may pass when space comes back.
    bool CannotWrite() const;

  private:
    int code_ = 0;
};

// True when the exception is a DatabaseError that says the file cannot take what is written.
bool CannotWrite(const std::exception_ptr& error);

class Statement {
  public:
    Statement(sqlite3* db, sqlite3_stmt* statement) : db_(db), statement_(statement) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    // Parameters count from 1, as in SQL's ?1, ?2 ...; Bind returns *this for chaining.
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, int value) { return Bind(index, static_cast<std::int64_t>(value)); }
    Statement& Bind(int index, double value);
    Statement& Bind(int index, std::string_view value);
    Statement& Bind(int index, const char* value) { return Bind(index, std::string_view(value)); }
    Statement& Bind(int index, const std::string& value) {
        return Bind(index, std::string_view(value));
    }
    Statement& BindNull(int index);
    template <typename T>
    Statement& Bind(int index, const std::optional<T>& value) {
        return value ? Bind(index, *value) : BindNull(index);
    }

    // Runs one step: true with a row to read, false when done. Throws DatabaseError.
    bool Step();
    // Runs to the end (a statement without rows).
    void Run();
    // Ready to run again, parameters cleared.
    void Reset();

    // Columns count from 0.
    bool IsNull(int column) const;
    std::int64_t Integer(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;
    std::optional<std::string> OptionalText(int column) const;

  private:
    sqlite3* db_;
    sqlite3_stmt* statement_;
};

class Connection {
  public:
    enum class Mode { ReadWrite, ReadOnly };
    // Opens (and for ReadWrite creates) the database file; WAL, synchronous=FULL, foreign
    // keys on, a busy time-out for readers meeting a checkpoint.
    Connection(const std::filesystem::path& path, Mode mode);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Runs statements without results (and without parameters).
    void Execute(std::string_view sql);
    // The statement for this SQL, prepared once and kept; reset and ready to bind.
    Statement& Prepare(const std::string& sql);
    std::int64_t LastInsertId() const;
    int Changes() const;
    // PRAGMA user_version.
    int UserVersion();
    void SetUserVersion(int version);
    // Resets every statement of this connection, so that none keeps a read snapshot open
    // (a reader handed back to the pool must not hold the WAL back).
    void ResetStatements();

    sqlite3* Handle() const { return db_; }

    // Copies the whole database, as one snapshot, into a new file at `to` (SQLite's online
    // backup, in one step: a WAL reader's snapshot, so the writer never waits for it). The
    // copy is on the disk when this returns.
    void BackUpTo(const std::filesystem::path& to);
    // PRAGMA integrity_check: empty when the file is sound, else what SQLite found, at most
    // `limit` lines.
    std::vector<std::string> IntegrityProblems(int limit = 100);

  private:
    sqlite3* db_ = nullptr;
    std::map<std::string, std::unique_ptr<Statement>, std::less<>> statements_;
};

}  // namespace fuel::forecourt
