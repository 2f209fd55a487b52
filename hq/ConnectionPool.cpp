#include "hq/ConnectionPool.h"

namespace fuel::hq {

ConnectionPool::ConnectionPool(std::string connectionString, std::size_t size)
    : connectionString_(std::move(connectionString)), size_(size == 0 ? 1 : size) {}

ConnectionPool::Lease::Lease(ConnectionPool& p) : pool(p) {
    {
        std::unique_lock lock(pool.mutex_);
        pool.returned_.wait(lock, [&] { return pool.lent_ < pool.size_; });
        ++pool.lent_;
        if (!pool.idle_.empty()) {
            connection = std::move(pool.idle_.back());
            pool.idle_.pop_back();
        }
    }
    if (connection)
        return;
    try {
        connection = std::make_unique<Connection>(pool.connectionString_);
    } catch (...) {
        std::lock_guard lock(pool.mutex_);
        --pool.lent_;
        pool.returned_.notify_one();
        throw;
    }
}

ConnectionPool::Lease::~Lease() {
    const bool keep = connection && connection->Healthy() && connection->Idle();
    std::lock_guard lock(pool.mutex_);
    --pool.lent_;
    if (keep)
        pool.idle_.push_back(std::move(connection));
    pool.returned_.notify_one();
}

}  // namespace fuel::hq
