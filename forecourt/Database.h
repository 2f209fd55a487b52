// A thin layer over SQLite's C API: a connection, its prepared statements kept for reuse,
// and errors as exceptions that carry SQLite's message. Nothing more: the SQL is written
// where it is used.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace fuel::forecourt {

class DatabaseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

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

  private:
    sqlite3* db_ = nullptr;
    std::map<std::string, std::unique_ptr<Statement>, std::less<>> statements_;
};

}  // namespace fuel::forecourt
