// Connections to PostgreSQL for the API's threads: libpq's connection serves one thread at a
// time, so each request borrows one for as long as it needs it. Connections are made when
// more are asked for at once than the pool holds (up to its size, then the next waits), and
// one that lost its server is dropped when it comes back, so that the next borrower gets a
// new one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hq/Database.h"

namespace fuel::hq {

class ConnectionPool {
  public:
    ConnectionPool(std::string connectionString, std::size_t size);

    // Runs work with a connection of its own. What work throws goes on to the caller; a
    // connection that is not idle afterwards (its server gone, a transaction left open) is
    // dropped. Throws DatabaseError when no connection can be made.
    template <typename Work>
    auto With(Work&& work) -> decltype(work(std::declval<Connection&>())) {
        Lease lease(*this);
        return work(*lease.connection);
    }

    const std::string& ConnectionString() const { return connectionString_; }

  private:
    struct Lease {
        explicit Lease(ConnectionPool& pool);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ConnectionPool& pool;
        std::unique_ptr<Connection> connection;
    };

    std::string connectionString_;
    std::size_t size_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t lent_ = 0;
};

}  // namespace fuel::hq
