// The journal: one SQLite database (WAL, synchronous=FULL) that holds every fill and sale,
// every event with its sequence number, the idempotency keys with their outcomes, the
// grades' prices, the fuel points' closed flags and the totalisers' readings.
//
// One writer. Every change runs as a job on the journal's writer thread, inside a
// transaction; jobs that arrive while a commit is on the disk are committed together in the
// next one (each job in a savepoint of its own, so one that fails changes nothing and the
// others still commit). A job's events get their sequence numbers in commit order and are
// handed to the subscribers only after the commit, in that order; a job's after-commit
// actions run before its events are handed on. A poll loop that waits for a job therefore
// waits for at most the commit in progress and its own.
//
// Readers take a connection of their own (WAL: they never wait for the writer).
//
// Between the jobs the writer keeps house (the retention's deletions): one small step at a
// time, each in a transaction of its own, so that a job waits for one step at most.
//
// A commit that fails because the file cannot take it (a full disk, an I/O error) marks the
// journal as failing: the forecourt then makes no new promise, and every batch after it
// first writes an alarm saying so. The batch that gets that alarm onto the disk ends the
// failure; with nothing else to write, the writer tries it on its own every second.
//
// Schema: the forecourt's tables carry PRAGMA user_version (kSchemaVersion). A layer above
// (the server's tokens, a publisher's position) adds its tables with migrations of its own,
// numbered per layer and recorded in the table schema_layers (layer, version): each pending
// migration of a layer runs once, in order, in its own transaction, at open.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "forecourt/Database.h"
#include "forecourt/Model.h"
#include "forecourt/Worker.h"

namespace fuel::forecourt {

class Publisher;

struct Migration {
    std::string layer;  // e.g. "server"; "forecourt" is the library's own
    int version = 0;    // 1, 2 ... per layer
    std::function<void(Connection&)> apply;
};

// What a job sees: the writer's connection inside the transaction, and the events it adds.
class WriteTransaction {
  public:
    explicit WriteTransaction(Connection& db) : db_(db) {}
    Connection& Db() { return db_; }
    // The event is stored with the next sequence number (returned) and published after the
    // commit. `at` is the time the change happened.
    Sequence AppendEvent(std::string_view type, nlohmann::json data, Time at);
    // Runs on the writer thread once this job's changes are on the disk, before its events
    // are published. Must not throw or block.
    void AfterCommit(std::function<void()> action);

  private:
    friend class Journal;
    Connection& db_;
    std::vector<Event> events_;
    std::vector<std::function<void()>> afterCommit_;
};

class Journal {
  public:
    static constexpr int kSchemaVersion = 3;

    // Opens or creates the file and migrates it forwards (the library's schema, then each
    // layer's). Throws DatabaseError; a file whose user_version is newer than this program
    // knows is refused.
    Journal(const std::filesystem::path& path, std::vector<Migration> migrations = {});
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Where committed events go (the forecourt's publisher); set before Start.
    void SetPublisher(Publisher* publisher) { publisher_ = publisher; }
    // Starts and stops the writer thread. Jobs posted after Stop fail.
    void Start();
    void Stop();

    // Queues a job; done gets nullptr after the commit, or the job's (or the commit's)
    // exception. done runs on the writer thread.
    using Job = std::function<void(WriteTransaction&)>;
    void Post(Job job, std::function<void(std::exception_ptr)> done);
    // Queues a job and returns its result once committed (the job's exception rethrown).
    template <typename F>
    auto Write(F job) -> std::future<decltype(job(std::declval<WriteTransaction&>()))>;

    // Runs reader(connection) on the calling thread with a read-only connection of its own.
    template <typename F>
    auto Read(F reader) const -> decltype(reader(std::declval<Connection&>()));

    // Work for the writer between the jobs: `step` runs in a transaction of its own and
    // returns true when it has more to do at once; otherwise the writer rests `rest` before
    // the next. A step that throws is rolled back and tried again after the rest. Set
    // before Start.
    void SetHousekeeping(std::function<bool(Connection&)> step, std::chrono::milliseconds rest);
    struct HousekeepingTimes {
        std::uint64_t steps = 0;
        std::chrono::nanoseconds longest{};  // one step from BEGIN to the end of its COMMIT
        std::chrono::nanoseconds total{};
    };
    HousekeepingTimes Housekeeping() const;

    // Since when, and why, commits fail for want of space or for an I/O error; nullopt while
    // the journal writes.
    struct WriteFailure {
        Time since{};
        std::string error;
    };
    std::optional<WriteFailure> Failure() const;
    bool CannotWrite() const { return failing_.load(); }

    // The last sequence number committed.
    Sequence LastSequence() const;
    // Journaled events after `after`, oldest first, at most limit.
    std::vector<Event> EventsAfter(Sequence after, std::size_t limit) const;

  private:
    struct Pending {
        Job job;
        std::function<void(std::exception_ptr)> done;
    };
    void CommitBatch(std::deque<Pending>& batch);
    void KeepHouse();
    // A job for the batch after a failure: the alarm that the journal failed, which ends the
    // failure once it is committed.
    Pending FailureAlarm(std::shared_ptr<bool> written);
    std::unique_ptr<Connection> TakeReader() const;
    void ReturnReader(std::unique_ptr<Connection> reader) const;

    std::filesystem::path path_;
    std::unique_ptr<Connection> writer_;
    Publisher* publisher_ = nullptr;
    Sequence lastSequence_ = 0;  // writer thread
    Worker<Pending> worker_;
    mutable std::mutex readersMutex_;
    mutable std::vector<std::unique_ptr<Connection>> readers_;
    std::atomic<Sequence> committed_{0};

    using Clock = std::chrono::steady_clock;
    std::function<bool(Connection&)> housekeeping_;
    std::chrono::milliseconds housekeepingRest_{0};
    Clock::time_point housekeepingAt_{};  // writer thread
    Clock::time_point probeAt_{};         // writer thread: the next lone try after a failure
    mutable std::mutex statusMutex_;
    HousekeepingTimes housekeepingTimes_;
    std::optional<WriteFailure> failure_;
    std::atomic<bool> failing_{false};
};

template <typename F>
auto Journal::Write(F job) -> std::future<decltype(job(std::declval<WriteTransaction&>()))> {
    using R = decltype(job(std::declval<WriteTransaction&>()));
    auto promise = std::make_shared<std::promise<R>>();
    auto result = std::make_shared<std::optional<std::conditional_t<std::is_void_v<R>, int, R>>>();
    Post(
        [job = std::move(job), result](WriteTransaction& transaction) mutable {
            if constexpr (std::is_void_v<R>) {
                job(transaction);
                result->emplace(0);
            } else {
                result->emplace(job(transaction));
            }
        },
        [promise, result](std::exception_ptr error) {
            if (error) {
                promise->set_exception(error);
            } else if constexpr (std::is_void_v<R>) {
                promise->set_value();
            } else {
                promise->set_value(std::move(**result));
            }
        });
    return promise->get_future();
}

template <typename F>
auto Journal::Read(F reader) const -> decltype(reader(std::declval<Connection&>())) {
    std::unique_ptr<Connection> connection = TakeReader();
    struct Return {
        const Journal& journal;
        std::unique_ptr<Connection>& connection;
        ~Return() { journal.ReturnReader(std::move(connection)); }
    } giveBack{*this, connection};
    return reader(*connection);
}

}  // namespace fuel::forecourt
