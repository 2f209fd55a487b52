#include "hq/Database.h"

#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace fuel::hq {
namespace {

// Class 08: connection exceptions; 57P01..57P03: the server shuts down or is starting.
bool IsLost(const std::string& state) {
    return state.starts_with("08") || state == "57P01" || state == "57P02" || state == "57P03";
}

std::string Trimmed(const char* text) {
    std::string message = text != nullptr ? text : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return message;
}

template <class Number>
Number ParseNumber(std::string_view text, const char* what) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw std::runtime_error(std::string("not ") + what + ": " + std::string(text));
    return value;
}

void AppendElement(std::string& literal, std::string_view element) {
    literal += '"';
    for (const char c : element) {
        if (c == '"' || c == '\\')
            literal += '\\';
        literal += c;
    }
    literal += '"';
}

}  // namespace

DatabaseError::DatabaseError(std::string sqlState, const std::string& message)
    : std::runtime_error(message), sqlState_(std::move(sqlState)) {}

bool DatabaseError::ConnectionLost() const {
    return IsLost(sqlState_);
}

bool DatabaseError::TryAgain() const {
    return sqlState_ == "40001" || sqlState_ == "40P01";
}

Parameter::Parameter(double value) {
    if (!std::isfinite(value))
        throw std::invalid_argument("a number that is not finite cannot be stored");
    // The shortest digits that read back as the same double.
    char digits[64];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text_ = std::string(digits, end);
}

std::string ArrayLiteral(std::span<const std::optional<std::string>> elements) {
    std::string literal = "{";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            literal += ',';
        if (elements[i])
            AppendElement(literal, *elements[i]);
        else
            literal += "NULL";
    }
    literal += '}';
    return literal;
}

std::string ArrayLiteral(std::span<const std::string> elements) {
    std::string literal = "{";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            literal += ',';
        AppendElement(literal, elements[i]);
    }
    literal += '}';
    return literal;
}

std::string ArrayLiteral(std::span<const std::int64_t> elements) {
    std::string literal = "{";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        if (i > 0)
            literal += ',';
        literal += std::to_string(elements[i]);
    }
    literal += '}';
    return literal;
}

// ---- Result

Result::Result(pg_result* result) : result_(result, &::PQclear) {}

int Result::Rows() const {
    return result_ ? ::PQntuples(result_.get()) : 0;
}

int Result::Columns() const {
    return result_ ? ::PQnfields(result_.get()) : 0;
}

int Result::Column(std::string_view name) const {
    const int column = result_ ? ::PQfnumber(result_.get(), std::string(name).c_str()) : -1;
    if (column < 0)
        throw std::out_of_range("no column " + std::string(name) + " in the result");
    return column;
}

bool Result::IsNull(int row, int column) const {
    if (row < 0 || row >= Rows() || column < 0 || column >= Columns())
        throw std::out_of_range("no field " + std::to_string(row) + "," + std::to_string(column));
    return ::PQgetisnull(result_.get(), row, column) != 0;
}

std::string_view Result::Text(int row, int column) const {
    if (IsNull(row, column))
        return {};
    return {::PQgetvalue(result_.get(), row, column),
            static_cast<std::size_t>(::PQgetlength(result_.get(), row, column))};
}

std::optional<std::string> Result::OptionalText(int row, int column) const {
    if (IsNull(row, column))
        return std::nullopt;
    return std::string(Text(row, column));
}

std::int64_t Result::Integer(int row, int column) const {
    if (IsNull(row, column))
        throw std::runtime_error("a NULL where a number was expected");
    return ParseNumber<std::int64_t>(Text(row, column), "an integer");
}

std::optional<std::int64_t> Result::OptionalInteger(int row, int column) const {
    if (IsNull(row, column))
        return std::nullopt;
    return Integer(row, column);
}

double Result::Number(int row, int column) const {
    if (IsNull(row, column))
        throw std::runtime_error("a NULL where a number was expected");
    return ParseNumber<double>(Text(row, column), "a number");
}

bool Result::Boolean(int row, int column) const {
    return Text(row, column) == "t";
}

std::int64_t Result::Affected() const {
    const char* tuples = result_ ? ::PQcmdTuples(result_.get()) : "";
    return *tuples == 0 ? 0 : ParseNumber<std::int64_t>(tuples, "a count");
}

std::string_view Result::Command() const {
    return result_ ? ::PQcmdStatus(result_.get()) : "";
}

// ---- Connection

Connection::Connection(std::string connectionString)
    : connectionString_(std::move(connectionString)) {
    Connect();
}

Connection::~Connection() {
    if (connection_ != nullptr)
        ::PQfinish(connection_);
}

void Connection::Connect() {
    if (connection_ != nullptr) {
        ::PQfinish(connection_);
        connection_ = nullptr;
    }
    connection_ = ::PQconnectdb(connectionString_.c_str());
    if (connection_ == nullptr)
        throw DatabaseError("08001", "cannot connect to PostgreSQL: out of memory");
    if (::PQstatus(connection_) != CONNECTION_OK) {
        const std::string message = Trimmed(::PQerrorMessage(connection_));
        ::PQfinish(connection_);
        connection_ = nullptr;
        throw DatabaseError("08001", "cannot connect to PostgreSQL: " + message);
    }
    // Notices (e.g. "relation already exists, skipping") are not for a daemon's log.
    ::PQsetNoticeProcessor(
        connection_, [](void*, const char*) {}, nullptr);
}

void Connection::Reconnect() {
    Connect();
}

bool Connection::Healthy() const {
    return connection_ != nullptr && ::PQstatus(connection_) == CONNECTION_OK;
}

bool Connection::Idle() const {
    return connection_ != nullptr && ::PQtransactionStatus(connection_) == PQTRANS_IDLE;
}

void Connection::Fail(pg_result* result) {
    const char* state =
        result != nullptr ? ::PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = Trimmed(result != nullptr ? ::PQresultErrorMessage(result) : nullptr);
    if (message.empty())
        message = Trimmed(connection_ != nullptr ? ::PQerrorMessage(connection_) : "no connection");
    // libpq reports a server gone from under it without a state of the server's.
    std::string sqlState = state != nullptr ? state : (Healthy() ? "XX000" : "08006");
    if (result != nullptr)
        ::PQclear(result);
    throw DatabaseError(std::move(sqlState), message);
}

Result Connection::Exec(std::string_view sql, std::span<const Parameter> parameters) {
    if (connection_ == nullptr)
        throw DatabaseError("08003", "not connected to PostgreSQL");
    std::vector<const char*> values;
    values.reserve(parameters.size());
    for (const Parameter& parameter : parameters)
        values.push_back(parameter.Text() ? parameter.Text()->c_str() : nullptr);
    if (parameters.size() > 65535)
        throw std::invalid_argument("more parameters than a statement takes");
    pg_result* result =
        ::PQexecParams(connection_, std::string(sql).c_str(), static_cast<int>(values.size()),
                       nullptr, values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = result != nullptr ? ::PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(result);
    return Result(result);
}

void Connection::Script(std::string_view sql) {
    if (connection_ == nullptr)
        throw DatabaseError("08003", "not connected to PostgreSQL");
    pg_result* result = ::PQexec(connection_, std::string(sql).c_str());
    const ExecStatusType status = result != nullptr ? ::PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        Fail(result);
    ::PQclear(result);
}

// ---- Transaction

Transaction::Transaction(Connection& connection) : connection_(connection) {
    connection_.Exec("BEGIN");
}

Transaction::~Transaction() {
    if (!open_ || !connection_.Healthy())
        return;
    try {
        connection_.Exec("ROLLBACK");
    } catch (const DatabaseError&) {
        // The connection went meanwhile: the server has undone the transaction itself.
    }
}

void Transaction::Commit() {
    open_ = false;
    // COMMIT of a transaction that failed on the way is a ROLLBACK, and no error.
    if (connection_.Exec("COMMIT").Command() != "COMMIT")
        throw DatabaseError("40000", "the transaction failed and was rolled back");
}

}  // namespace fuel::hq
