// A thread of its own with a queue of jobs: the poll loops, the journal's writer and the
// publisher each run on one. Jobs are handed to the body in the order they were posted, as
// many at once as have come; Stop lets the body finish every job already posted, then joins.
//
// The body decides how long to rest: Rest() waits for a job, for Stop, or for the pause
// given, so that a loop can poll at the wire limit, rest while its line is idle, or wait for
// work alone.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace fuel::forecourt {

template <typename Job>
class Worker {
  public:
    using Batch = std::deque<Job>;

    Worker() = default;
    ~Worker() { Stop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs body on the worker's thread until Stop; the body returns to be called again. A body
    // that has nothing to do calls Rest (or Take with a wait) before it returns.
    void Start(std::function<void(Worker&)> body) {
        {
            std::lock_guard lock(mutex_);
            if (running_)
                return;
            running_ = true;
            stopping_ = false;
        }
        thread_ = std::thread([this, body = std::move(body)] {
            while (!Finished())
                body(*this);
        });
    }

    // Queues a job; false (and the job dropped) when the worker is not running or stopping.
    bool Post(Job job) {
        {
            std::lock_guard lock(mutex_);
            if (!running_ || stopping_)
                return false;
            queue_.push_back(std::move(job));
        }
        wake_.notify_all();
        return true;
    }

    // The body sees every job already posted, then the thread ends. From the worker's own
    // thread it only asks for the end.
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            if (!running_)
                return;
            stopping_ = true;
        }
        wake_.notify_all();
        if (OnWorkerThread())
            return;
        if (thread_.joinable())
            thread_.join();
        std::lock_guard lock(mutex_);
        running_ = false;
    }

    // ---- On the worker's thread (inside the body).
    // Every job queued now, oldest first; waits for one first up to `wait` (none: until a
    // job comes or Stop is asked).
    Batch Take(std::optional<std::chrono::milliseconds> wait = std::chrono::milliseconds(0)) {
        std::unique_lock lock(mutex_);
        const auto ready = [&] { return stopping_ || !queue_.empty(); };
        if (!wait) {
            wake_.wait(lock, ready);
        } else if (wait->count() > 0) {
            wake_.wait_for(lock, *wait, ready);
        }
        Batch batch;
        batch.swap(queue_);
        return batch;
    }
    // Waits up to `pause` for a job or Stop, taking nothing.
    void Rest(std::chrono::milliseconds pause) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, pause, [&] { return stopping_ || !queue_.empty(); });
    }
    bool Stopping() const {
        std::lock_guard lock(mutex_);
        return stopping_;
    }
    bool OnWorkerThread() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    // The body's last call has come once Stop was asked and nothing is left queued.
    bool Finished() const {
        std::lock_guard lock(mutex_);
        return stopping_ && queue_.empty();
    }

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Batch queue_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace fuel::forecourt
