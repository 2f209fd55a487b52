#include "forecourt/Journal.h"

#include <algorithm>
#include <map>

#include "forecourt/Publisher.h"
#include "forecourt/Schema.h"

namespace fuel::forecourt {
namespace {

constexpr std::string_view kOwnLayer = "forecourt";
// Readers kept for reuse; more may be open at once, the rest are closed when handed back.
constexpr std::size_t kPooledReaders = 8;
// How often a failing journal tries to write on its own, when nothing else comes.
constexpr std::chrono::seconds kProbeEvery{1};
// After a housekeeping step with more to do, the jobs have the writer to themselves this long:
// a long deletion (the first on a year's journal) never crowds out the lines' commits, nor
// the checkpoints its pages bring.
constexpr std::chrono::milliseconds kHousekeepingPause{10};

// Runs body inside a transaction of its own, rolled back if it throws.
template <typename F>
void InTransaction(Connection& db, F body) {
    db.Execute("BEGIN IMMEDIATE");
    try {
        body();
        db.Execute("COMMIT");
    } catch (...) {
        db.Execute("ROLLBACK");
        throw;
    }
}

void MigrateOwnTables(Connection& db) {
    const auto& migrations = ForecourtMigrations();
    const int current = db.UserVersion();
    const auto known = static_cast<int>(migrations.size());
    if (current > known) {
        throw DatabaseError("the journal's schema is version " + std::to_string(current) +
                            ", newer than this program's " + std::to_string(known) +
                            ": run the newer program, or a copy of the journal");
    }
    for (int version = current + 1; version <= known; ++version) {
        InTransaction(db, [&] {
            db.Execute(migrations[static_cast<std::size_t>(version - 1)]);
            db.SetUserVersion(version);
        });
    }
}

void MigrateLayers(Connection& db, std::vector<Migration> migrations) {
    std::map<std::string, std::vector<Migration>> byLayer;
    for (Migration& migration : migrations) {
        if (migration.layer.empty() || migration.layer == kOwnLayer || migration.version < 1) {
            throw DatabaseError("a migration needs a layer of its own and a version from 1");
        }
        byLayer[migration.layer].push_back(std::move(migration));
    }
    for (auto& [layer, list] : byLayer) {
        std::sort(list.begin(), list.end(),
                  [](const Migration& a, const Migration& b) { return a.version < b.version; });
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i].version != static_cast<int>(i) + 1) {
                throw DatabaseError("the migrations of layer " + layer +
                                    " must be numbered 1, 2 ... without gaps");
            }
        }
        Statement& read = db.Prepare("SELECT version FROM schema_layers WHERE layer = ?1");
        read.Bind(1, layer);
        const int current = read.Step() ? static_cast<int>(read.Integer(0)) : 0;
        read.Reset();
        if (current > static_cast<int>(list.size())) {
            throw DatabaseError("the journal's layer " + layer + " is version " +
                                std::to_string(current) + ", newer than this program's " +
                                std::to_string(list.size()));
        }
        for (auto& migration : list) {
            if (migration.version <= current)
                continue;
            InTransaction(db, [&, &layer = layer] {
                migration.apply(db);
                db.Prepare(
                      "INSERT INTO schema_layers (layer, version) VALUES (?1, ?2) "
                      "ON CONFLICT (layer) DO UPDATE SET version = excluded.version")
                    .Bind(1, layer)
                    .Bind(2, migration.version)
                    .Run();
            });
        }
    }
}

}  // namespace

Sequence WriteTransaction::AppendEvent(std::string_view type, nlohmann::json data, Time at) {
    Event event{0, std::string(type), at, std::move(data)};
    db_.Prepare("INSERT INTO events (at, type, data) VALUES (?1, ?2, ?3)")
        .Bind(1, FormatTime(at))
        .Bind(2, type)
        .Bind(3, JsonText(event.data))
        .Run();
    event.sequence = db_.LastInsertId();
    events_.push_back(std::move(event));
    return events_.back().sequence;
}

void WriteTransaction::AfterCommit(std::function<void()> action) {
    afterCommit_.push_back(std::move(action));
}

Journal::Journal(const std::filesystem::path& path, std::vector<Migration> migrations)
    : path_(path) {
    writer_ = std::make_unique<Connection>(path, Connection::Mode::ReadWrite);
    MigrateOwnTables(*writer_);
    MigrateLayers(*writer_, std::move(migrations));
    Statement& last = writer_->Prepare("SELECT COALESCE(MAX(seq), 0) FROM events");
    last.Step();
    lastSequence_ = last.Integer(0);
    last.Reset();
    committed_ = lastSequence_;
}

Journal::~Journal() {
    Stop();
}

void Journal::SetHousekeeping(std::function<bool(Connection&)> step,
                              std::chrono::milliseconds rest) {
    housekeeping_ = std::move(step);
    housekeepingRest_ = rest;
}

Journal::HousekeepingTimes Journal::Housekeeping() const {
    std::lock_guard lock(statusMutex_);
    return housekeepingTimes_;
}

std::optional<Journal::WriteFailure> Journal::Failure() const {
    std::lock_guard lock(statusMutex_);
    return failure_;
}

void Journal::Start() {
    housekeepingAt_ = Clock::now();
    worker_.Start([this](Worker<Pending>& worker) {
        // Wait for a job, or until the next lone try of a failing journal, or until the
        // housekeeping is due.
        std::optional<std::chrono::milliseconds> wait;
        const auto until = [](Clock::time_point at) {
            return std::max(std::chrono::milliseconds(0),
                            std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()));
        };
        if (failing_) {
            wait = until(probeAt_);
        } else if (housekeeping_) {
            wait = until(housekeepingAt_);
        }
        // Whatever came while the last commit was on the disk goes in the next one.
        std::deque<Pending> batch = worker.Take(wait);
        if (!batch.empty() || (failing_ && Clock::now() >= probeAt_)) {
            CommitBatch(batch);
            probeAt_ = Clock::now() + kProbeEvery;
        }
        // Nothing is let go of while the journal cannot write, and the jobs come first.
        if (!failing_ && housekeeping_ && Clock::now() >= housekeepingAt_)
            KeepHouse();
    });
}

void Journal::KeepHouse() {
    const auto begun = Clock::now();
    bool more = false;
    try {
        InTransaction(*writer_, [&] { more = housekeeping_(*writer_); });
    } catch (const std::exception&) {
        more = false;  // tried again after the rest
    }
    const auto took = Clock::now() - begun;
    housekeepingAt_ = Clock::now() + (more ? kHousekeepingPause : housekeepingRest_);
    std::lock_guard lock(statusMutex_);
    ++housekeepingTimes_.steps;
    housekeepingTimes_.total += took;
    housekeepingTimes_.longest =
        std::max<std::chrono::nanoseconds>(housekeepingTimes_.longest, took);
}

Journal::Pending Journal::FailureAlarm(std::shared_ptr<bool> written) {
    std::optional<WriteFailure> failure = Failure();
    return Pending{
        [failure = std::move(failure)](WriteTransaction& t) {
            const Time now = std::chrono::system_clock::now();
            const std::string since = failure ? FormatTime(failure->since) : FormatTime(now);
            const std::string error = failure ? failure->error : std::string();
            t.AppendEvent(event_type::kAlarm,
                          AlarmData(alarm_kind::kJournalFailed, 0,
                                    "the journal could not write from " + since + " until " +
                                        FormatTime(now) + " (" + error +
                                        "); no fill was authorised meanwhile, and the fills "
                                        "that ran are written now",
                                    {{"since", since}, {"error", error}}),
                          now);
        },
        [written](std::exception_ptr error) { *written = !error; }};
}

void Journal::Stop() {
    worker_.Stop();
}

void Journal::Post(Job job, std::function<void(std::exception_ptr)> done) {
    if (!worker_.Post({std::move(job), done}))
        done(std::make_exception_ptr(DatabaseError("the journal is not running")));
}

void Journal::CommitBatch(std::deque<Pending>& batch) {
    // After a failure the alarm goes first: the batch that commits it shows the file
    // writes again.
    const auto alarmWritten = std::make_shared<bool>(false);
    const bool probing = failing_.load();
    if (probing)
        batch.push_front(FailureAlarm(alarmWritten));
    std::vector<std::exception_ptr> failures(batch.size());
    std::vector<std::unique_ptr<WriteTransaction>> done(batch.size());
    const Sequence before = lastSequence_;
    std::exception_ptr commitFailure;
    try {
        writer_->Execute("BEGIN IMMEDIATE");
        for (std::size_t i = 0; i < batch.size(); ++i) {
            writer_->Execute("SAVEPOINT job");
            auto transaction = std::make_unique<WriteTransaction>(*writer_);
            try {
                batch[i].job(*transaction);
                writer_->Execute("RELEASE job");
                done[i] = std::move(transaction);
            } catch (...) {
                failures[i] = std::current_exception();
                writer_->Execute("ROLLBACK TO job");
                writer_->Execute("RELEASE job");
            }
        }
        writer_->Execute("COMMIT");
    } catch (...) {
        commitFailure = std::current_exception();
        try {
            writer_->Execute("ROLLBACK");
        } catch (...) {
            // Nothing was begun, or SQLite rolled back by itself.
        }
    }

    std::exception_ptr cannotWrite =
        forecourt::CannotWrite(commitFailure) ? commitFailure : nullptr;
    for (const std::exception_ptr& failure : failures) {
        if (!cannotWrite && forecourt::CannotWrite(failure))
            cannotWrite = failure;
    }
    const auto markFailing = [&] {
        if (!cannotWrite)
            return;
        std::string error;
        try {
            std::rethrow_exception(cannotWrite);
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::lock_guard lock(statusMutex_);
        if (!failure_)
            failure_ = WriteFailure{std::chrono::system_clock::now(), error};
        failing_ = true;
    };
    if (commitFailure) {
        markFailing();
        lastSequence_ = before;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            batch[i].done(failures[i] ? failures[i] : commitFailure);
        }
        return;
    }
    std::vector<Event> events;
    for (auto& transaction : done) {
        if (!transaction)
            continue;
        for (auto& action : transaction->afterCommit_) {
            action();
        }
        for (Event& event : transaction->events_) {
            lastSequence_ = std::max(lastSequence_, event.sequence);
            events.push_back(std::move(event));
        }
    }
    committed_ = lastSequence_;
    if (publisher_ != nullptr && !events.empty()) {
        publisher_->PublishCommitted(std::move(events));
    }
    // The alarm's job is the batch's first: told first, so that the others hear of a journal
    // that writes again.
    if (probing)
        batch.front().done(failures.front());
    if (probing && *alarmWritten) {
        std::lock_guard lock(statusMutex_);
        failure_.reset();
        failing_ = false;
    }
    markFailing();  // a job of this batch met a new failure
    for (std::size_t i = probing ? 1 : 0; i < batch.size(); ++i) {
        batch[i].done(failures[i]);
    }
}

std::unique_ptr<Connection> Journal::TakeReader() const {
    {
        std::lock_guard lock(readersMutex_);
        if (!readers_.empty()) {
            auto reader = std::move(readers_.back());
            readers_.pop_back();
            return reader;
        }
    }
    return std::make_unique<Connection>(path_, Connection::Mode::ReadOnly);
}

void Journal::ReturnReader(std::unique_ptr<Connection> reader) const {
    if (!reader)
        return;
    reader->ResetStatements();
    std::lock_guard lock(readersMutex_);
    if (readers_.size() < kPooledReaders) {
        readers_.push_back(std::move(reader));
    }
}

Sequence Journal::LastSequence() const {
    return committed_.load();
}

std::vector<Event> Journal::EventsAfter(Sequence after, std::size_t limit) const {
    return Read([&](Connection& db) {
        std::vector<Event> events;
        Statement& select = db.Prepare(
            "SELECT seq, at, type, data FROM events WHERE seq > ?1 ORDER BY seq LIMIT ?2");
        select.Bind(1, after).Bind(2, static_cast<std::int64_t>(std::min<std::size_t>(
                                          limit, static_cast<std::size_t>(INT64_MAX))));
        while (select.Step()) {
            Event event;
            event.sequence = select.Integer(0);
            event.at = ParseTime(select.Text(1)).value_or(Time{});
            event.type = select.Text(2);
            event.data = nlohmann::json::parse(select.Text(3), nullptr, false);
            events.push_back(std::move(event));
        }
        return events;
    });
}

}  // namespace fuel::forecourt
