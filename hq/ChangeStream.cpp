#include "hq/ChangeStream.h"

#include <algorithm>

#include "hq/Changes.h"

namespace fuel::hq {

class ChangeStream::Subscription : public http::StreamSubscription,
                                   public std::enable_shared_from_this<Subscription> {
  public:
    Subscription(ChangeStream& stream, std::int64_t place, std::function<void()> wake)
        : stream_(stream), place_(place), wake_(std::move(wake)) {}

    http::StreamBatch Take() override {
        http::StreamBatch batch;
        if (left_) {
            batch.dropped = "left";
            return batch;
        }
        std::vector<StoredChange> changes;
        bool failed = false;
        try {
            changes = stream_.pool_.With([&](Connection& db) {
                return ChangesAfter(db, place_, static_cast<int>(stream_.settings_.batch));
            });
        } catch (const std::exception&) {
            failed = true;  // tried again at the next look
        }
        if (!changes.empty()) {
            place_ = changes.back().id;
            for (StoredChange& change : changes) {
                std::string text = ChangeText(change);
                batch.events.push_back(std::make_shared<const http::StreamEvent>(
                    http::StreamEvent{change.id, std::move(change.kind), std::move(text)}));
            }
            return batch;
        }
        retry_ = failed;
        std::lock_guard lock(stream_.mutex_);
        if (!failed && stream_.last_ > place_)
            return batch;  // more came meanwhile: read again
        stream_.waiting_.push_back(weak_from_this());
        batch.live = true;
        return batch;
    }

    void Leave() override { left_ = true; }

    // Whether the next look should wake it: behind the last change, or its read failed.
    bool Behind(std::int64_t last) const { return retry_ || place_ < last; }
    void Wake() { wake_(); }

  private:
    ChangeStream& stream_;
    std::atomic<std::int64_t> place_;
    std::atomic<bool> retry_{false};
    std::function<void()> wake_;
    std::atomic<bool> left_{false};
};

ChangeStream::ChangeStream(ConnectionPool& pool, ChangeStreamSettings settings)
    : pool_(pool), settings_(settings) {}

ChangeStream::~ChangeStream() {
    Stop();
}

void ChangeStream::Start() {
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void ChangeStream::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    poked_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ChangeStream::Poke() {
    {
        std::lock_guard lock(mutex_);
        poke_ = true;
    }
    poked_.notify_all();
}

std::shared_ptr<http::StreamSubscription> ChangeStream::Join(const http::StreamStart& start,
                                                             std::function<void()> wake) {
    std::int64_t place = 0;
    if (start.after) {
        place = *start.after;
    } else {
        // Live only: from the last change there is now.
        place = pool_.With([](Connection& db) { return LastChange(db); });
    }
    return std::make_shared<Subscription>(*this, place, std::move(wake));
}

void ChangeStream::Run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        poked_.wait_for(lock, settings_.poll, [&] { return stopping_ || poke_; });
        if (stopping_)
            break;
        poke_ = false;
        lock.unlock();
        Look();
        lock.lock();
    }
}

void ChangeStream::Look() {
    std::int64_t last = -1;
    try {
        last = pool_.With([](Connection& db) { return LastChange(db); });
    } catch (const std::exception&) {
        return;  // the next look
    }
    std::vector<std::shared_ptr<Subscription>> behind;
    {
        std::lock_guard lock(mutex_);
        last_ = std::max(last_, last);
        std::vector<std::weak_ptr<Subscription>> still;
        for (const auto& weak : waiting_) {
            auto subscription = weak.lock();
            if (!subscription)
                continue;  // gone with its connection
            if (subscription->Behind(last_))
                behind.push_back(std::move(subscription));
            else
                still.push_back(weak);
        }
        waiting_.swap(still);
    }
    // With no lock held, as the source's contract says.
    for (const auto& subscription : behind)
        subscription->Wake();
}

}  // namespace fuel::hq
