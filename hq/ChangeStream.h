// The change stream's source (http/StreamSource.h): each client reads the changes table
// after its place, in batches, on its own session's thread, and waits when it has them all.
// One thread looks at the last change's number every so often (any worker may have added
// it) and wakes the clients that are behind it. Nothing is queued in memory: a client that
// reads slowly only lags, and resumes from its Last-Event-ID after a reconnect, across
// workers, since every worker reads the same table.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hq/ConnectionPool.h"
#include "http/StreamSource.h"

namespace fuel::hq {

struct ChangeStreamSettings {
    std::size_t batch = 256;              // changes read at a time
    std::chrono::milliseconds poll{500};  // how often the last change is looked at
};

class ChangeStream : public http::StreamSource {
  public:
    ChangeStream(ConnectionPool& pool, ChangeStreamSettings settings = {});
    ~ChangeStream() override;  // Stop()
    ChangeStream(const ChangeStream&) = delete;
    ChangeStream& operator=(const ChangeStream&) = delete;

    void Start();
    void Stop();
    // A change was added here: look at once rather than at the next poll.
    void Poke();

    std::shared_ptr<http::StreamSubscription> Join(const http::StreamStart& start,
                                                   std::function<void()> wake) override;

  private:
    class Subscription;
    void Run();
    void Look();  // reads the last number, wakes who is behind it

    ConnectionPool& pool_;
    ChangeStreamSettings settings_;
    std::mutex mutex_;
    std::condition_variable poked_;
    bool stopping_ = false;
    bool poke_ = false;
    std::int64_t last_ = -1;  // the last change's number as last seen; -1: not yet read
    std::vector<std::weak_ptr<Subscription>> waiting_;
    std::thread thread_;
};

}  // namespace fuel::hq
