// The head office's connection to PostgreSQL: a small owner of libpq's connection and
// results. Every value reaches the server as a parameter ($1, $2, ...) in text form, never
// spliced into a statement; arrays of values travel as one parameter each (ArrayLiteral), so
// that a batch of any size is one statement.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace fuel::hq {

// What the server (or libpq) said went wrong, with its SQLSTATE: callers tell a lost
// connection, worth a reconnect and a retry, from a statement the server refused.
class DatabaseError : public std::runtime_error {
  public:
    DatabaseError(std::string sqlState, const std::string& message);
    // Five characters; "08006" (connection failure) when libpq lost the server without one.
    const std::string& SqlState() const { return sqlState_; }
    // The connection is gone or the server is going: reconnect and do it again.
    bool ConnectionLost() const;
    // A deadlock or a serialisation failure: the transaction was undone; do it again.
    bool TryAgain() const;
    bool UniqueViolation() const { return sqlState_ == "23505"; }

  private:
    std::string sqlState_;
};

// One parameter: text, or NULL. Numbers are written as PostgreSQL reads them back exactly.
class Parameter {
  public:
    Parameter(std::nullopt_t) {}
    Parameter(std::string text) : text_(std::move(text)) {}
    Parameter(std::string_view text) : text_(std::string(text)) {}
    Parameter(const char* text) : text_(std::string(text)) {}
    Parameter(std::int64_t value) : text_(std::to_string(value)) {}
    Parameter(int value) : text_(std::to_string(value)) {}
    Parameter(double value);
    Parameter(bool value) : text_(value ? "t" : "f") {}
    template <class T>
    Parameter(const std::optional<T>& value) {
        if (value)
            *this = Parameter(*value);
    }
    const std::optional<std::string>& Text() const { return text_; }

  private:
    std::optional<std::string> text_;
};

// A PostgreSQL array literal of text elements ("{...}"), each element quoted and escaped;
// nullopt elements are NULL. Cast it in the statement: $1::bigint[], $2::jsonb[].
std::string ArrayLiteral(std::span<const std::optional<std::string>> elements);
std::string ArrayLiteral(std::span<const std::string> elements);
std::string ArrayLiteral(std::span<const std::int64_t> elements);

class Result {
  public:
    Result() = default;
    explicit Result(pg_result* result);

    int Rows() const;
    int Columns() const;
    // The column of that name; throws std::out_of_range when there is none.
    int Column(std::string_view name) const;
    bool IsNull(int row, int column) const;
    std::string_view Text(int row, int column) const;
    std::optional<std::string> OptionalText(int row, int column) const;
    std::int64_t Integer(int row, int column) const;
    std::optional<std::int64_t> OptionalInteger(int row, int column) const;
    double Number(int row, int column) const;
    bool Boolean(int row, int column) const;
    // The rows an INSERT, UPDATE or DELETE touched.
    std::int64_t Affected() const;
    // The command's tag: "INSERT 0 3", "COMMIT", "ROLLBACK", ...
    std::string_view Command() const;

  private:
    std::shared_ptr<pg_result> result_;
};

class Connection {
  public:
    // Connects; throws DatabaseError when it cannot.
    explicit Connection(std::string connectionString);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Drops the connection and makes a new one; throws DatabaseError when it cannot.
    void Reconnect();
    // The connection is up, as far as libpq knows without asking the server.
    bool Healthy() const;
    // Idle outside a transaction block (not in one, not in a failed one).
    bool Idle() const;

    // One statement with its parameters; throws DatabaseError when the server refuses it.
    Result Exec(std::string_view sql, std::span<const Parameter> parameters = {});
    Result Exec(std::string_view sql, std::initializer_list<Parameter> parameters) {
        return Exec(sql, std::span<const Parameter>(parameters.begin(), parameters.size()));
    }
    // Several statements without parameters, as written in the program (the schema's own
    // text): never with a value from outside.
    void Script(std::string_view sql);

    const std::string& ConnectionString() const { return connectionString_; }

  private:
    void Connect();
    [[noreturn]] void Fail(pg_result* result);
    std::string connectionString_;
    pg_conn* connection_ = nullptr;
};

// A transaction block: BEGIN at construction, ROLLBACK at destruction unless committed.
class Transaction {
  public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();
    Connection& Db() { return connection_; }

  private:
    Connection& connection_;
    bool open_ = true;
};

}  // namespace fuel::hq
