#include "forecourt/Forecourt.h"

#include <algorithm>

#include "forecourt/Board.h"
#include "forecourt/Loop.h"
#include "forecourt/PriceRule.h"
#include "forecourt/Publisher.h"
#include "forecourt/Reconciliation.h"
#include "forecourt/Requests.h"
#include "forecourt/Retention.h"
#include "forecourt/Store.h"

namespace fuel::forecourt {
namespace {

// The largest doses the controllers' fields carry: five digits of hundredths of a litre,
// six of hundredths of money.
constexpr double kMaxVolumePreset = 999.99;
constexpr double kMaxMoneyPreset = 9999.99;

Outcome NotRunning() {
    return Outcome::Failure(Status::Unavailable, reason::kStopped, "the forecourt is not running");
}

Outcome Invalid(std::string message) {
    return Outcome::Failure(Status::Invalid, reason::kBadRequest, std::move(message));
}

Outcome JournalFailing(const std::string& why) {
    return Outcome::Failure(
        Status::Unavailable, reason::kJournalFailing,
        "the journal cannot write now (" + why + "): nothing new is authorised until it can");
}

Outcome FromException(std::exception_ptr error) {
    if (CannotWrite(error)) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            return JournalFailing(e.what());
        }
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return Outcome::Failure(Status::Unavailable, reason::kJournalFailed,
                                std::string("the journal cannot record: ") + e.what());
    }
}

// Collects the parts of a command that several loops answer, and calls finish with all of
// them once the last has come (on the thread of whoever came last).
template <typename Part>
class Gather {
  public:
    Gather(std::size_t expected, std::function<void(std::vector<Part>)> finish)
        : expected_(expected), finish_(std::move(finish)) {}
    void Add(Part part) {
        std::vector<Part> all;
        {
            std::lock_guard lock(mutex_);
            parts_.push_back(std::move(part));
            if (parts_.size() < expected_)
                return;
            all.swap(parts_);
        }
        finish_(std::move(all));
    }

  private:
    std::mutex mutex_;
    std::size_t expected_;
    std::vector<Part> parts_;
    std::function<void(std::vector<Part>)> finish_;
};

// A request that reaches every line runs once per idempotency key: the key is reserved in the
// journal first, and a key seen before answers its first outcome (or that it is still in
// progress) without running `first` again.
void OncePerKey(Journal& journal, const RequestRecord& record, const Done& done,
                std::function<void()> first) {
    auto recalled = std::make_shared<std::optional<Outcome>>();
    journal.Post(
        [record, recalled](WriteTransaction& t) {
            *recalled = Recall(t.Db(), record);
            if (!*recalled)
                Reserve(t.Db(), record, std::chrono::system_clock::now());
        },
        [recalled, done, first = std::move(first)](std::exception_ptr error) {
            if (error)
                return done(FromException(error));
            if (*recalled)
                return done(**recalled);
            first();
        });
}

// The end of such a request: `job` writes what it did and its outcome under the key. When
// that cannot be written the reservation is given up, so that the client's retry (harmless:
// a stop or a price again) is carried out rather than told it is still in progress.
void FinishOnce(Journal& journal, const RequestRecord& record, Outcome outcome, const Done& done,
                std::function<void(WriteTransaction&, const Outcome&)> job) {
    auto finished = std::make_shared<Outcome>(std::move(outcome));
    journal.Post([finished, job = std::move(job)](WriteTransaction& t) { job(t, *finished); },
                 [&journal, record, finished, done](std::exception_ptr failed) {
                     if (!failed)
                         return done(*finished);
                     journal.Post([record](WriteTransaction& t) { Release(t.Db(), record); },
                                  [](std::exception_ptr) {});
                     done(FromException(failed));
                 });
}

}  // namespace

std::string FormatCursor(const SalePosition& position) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(position.endedAt.time_since_epoch())
            .count();
    return std::to_string(ms) + "_" + std::to_string(position.id);
}

std::optional<SalePosition> ParseSaleCursor(std::string_view text) {
    // Digits, one underscore, digits: anything else is not one of ours.
    const std::size_t split = text.find('_');
    if (split == std::string_view::npos || split == 0 || split + 1 >= text.size() || split > 15 ||
        text.size() - split - 1 > 16) {
        return std::nullopt;
    }
    const auto number = [](std::string_view digits) -> std::optional<std::int64_t> {
        std::int64_t value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9')
                return std::nullopt;
            value = value * 10 + (c - '0');
        }
        return value;
    };
    const auto ms = number(text.substr(0, split));
    const auto id = number(text.substr(split + 1));
    if (!ms || !id)
        return std::nullopt;
    return SalePosition{Time{} + std::chrono::milliseconds(*ms), *id};
}

nlohmann::json ToJson(const Snapshot& snapshot) {
    nlohmann::json points = nlohmann::json::array();
    for (const FuelPointView& point : snapshot.fuelPoints) {
        points.push_back(ToJson(point));
    }
    nlohmann::json grades = nlohmann::json::array();
    for (const Grade& grade : snapshot.grades) {
        grades.push_back(ToJson(grade));
    }
    return {{"fuelPoints", std::move(points)},
            {"grades", std::move(grades)},
            {"sequence", snapshot.sequence}};
}

Subscription::Subscription(Subscription&& other) noexcept
    : publisher_(std::move(other.publisher_)), id_(other.id_) {
    other.publisher_.reset();
}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        Cancel();
        publisher_ = std::move(other.publisher_);
        id_ = other.id_;
        other.publisher_.reset();
    }
    return *this;
}

Subscription::~Subscription() {
    Cancel();
}

void Subscription::Cancel() {
    if (const auto publisher = publisher_.lock()) {
        publisher->Remove(id_);
    }
    publisher_.reset();
}

Forecourt::Forecourt(Config config, Options options)
    : config_(std::move(config)), options_(std::move(options)), board_(std::make_unique<Board>()) {}

Forecourt::~Forecourt() {
    Stop();
}

void Forecourt::Start() {
    if (running_)
        return;
    // Every line is opened (and so every port setting and bus file checked) before anything
    // else: a configuration that cannot work starts nothing, not even the journal.
    std::vector<OpenedLine> opened;
    for (const LineConfig& line : config_.lines) {
        opened.push_back(options_.openLine(config_, line));
    }
    journal_ = std::make_unique<Journal>(config_.database, options_.migrations);
    auto retention = std::make_shared<Retention>(config_.retention, options_.heldEvents);
    journal_->SetHousekeeping(
        [retention](Connection& db) {
            return retention->Step(db, std::chrono::system_clock::now());
        },
        options_.retentionRest);
    publisher_ = std::make_shared<Publisher>(*journal_);
    journal_->SetPublisher(publisher_.get());

    FuelPoints::Recovered recovered;
    std::map<std::string, double> prices;
    journal_->Read([&](Connection& db) {
        recovered.fills = LoadOpenFills(db);
        recovered.closed = ClosedFlags(db);
        prices = GradePrices(db);
        board_->SetUncleared(UnclearedSalesByPoint(db));
    });
    for (const GradeConfig& grade : config_.grades) {
        const auto stored = prices.find(grade.code);
        board_->SetGrade(
            {grade.code, grade.name, stored != prices.end() ? stored->second : grade.price});
    }

    journal_->Start();
    publisher_->Start();
    queries_.Start([](Worker<std::function<void()>>& worker) {
        for (auto& query : worker.Take(std::nullopt))
            query();
    });
    journal_->Write([](WriteTransaction& t) { DropUnfinished(t.Db()); }).get();

    std::vector<std::future<void>> ready;
    for (std::size_t i = 0; i < config_.lines.size(); ++i) {
        auto loop =
            std::make_unique<Loop>(FuelPoints::Services{config_, *journal_, *publisher_, *board_},
                                   options_, config_.lines[i], std::move(opened[i]));
        FuelPoints::Recovered mine;
        mine.closed = recovered.closed;
        for (const OpenFill& fill : recovered.fills) {
            if (loop->Owns(fill.fuelPoint))
                mine.fills.push_back(fill);
        }
        ready.push_back(loop->Start(std::move(mine)));
        loops_.push_back(std::move(loop));
    }
    for (auto& future : ready) {
        future.get();
    }
    running_ = true;
}

void Forecourt::Stop() {
    for (auto& loop : loops_) {
        loop->Stop();
    }
    loops_.clear();
    queries_.Stop();
    if (journal_)
        journal_->Stop();
    if (publisher_)
        publisher_->Stop();
    running_ = false;
}

Snapshot Forecourt::GetSnapshot() const {
    Snapshot snapshot;
    // The number first: the views then hold at least every change up to it.
    snapshot.sequence = journal_ ? journal_->LastSequence() : 0;
    snapshot.fuelPoints = board_->Points();
    snapshot.grades = board_->Grades();
    return snapshot;
}

std::optional<FuelPointView> Forecourt::FuelPoint(int id) const {
    return board_->Point(id);
}

std::vector<Sale> Forecourt::Sales(const SaleFilter& filter) const {
    return SalesPage(filter).sales;
}

SalePage Forecourt::SalesPage(const SaleFilter& filter) const {
    if (!journal_)
        return {};
    return journal_->Read([&](Connection& db) { return ReadSales(db, filter); });
}

std::optional<Sale> Forecourt::FindSale(SaleId id) const {
    if (!journal_)
        return std::nullopt;
    return journal_->Read([&](Connection& db) { return ReadSale(db, id); });
}

std::vector<Event> Forecourt::EventsAfter(Sequence after, std::size_t limit) const {
    if (!journal_)
        return {};
    return journal_->EventsAfter(after, limit);
}

Sequence Forecourt::LastSequenceOnFile() const {
    if (!journal_)
        throw DatabaseError("the journal is not open");
    return journal_->Read([](Connection& db) {
        auto& select = db.Prepare("SELECT COALESCE(MAX(seq), 0) FROM events");
        select.Step();
        const Sequence last = select.Integer(0);
        select.Reset();
        return last;
    });
}

std::optional<Journal::WriteFailure> Forecourt::JournalFailure() const {
    if (!journal_)
        return std::nullopt;
    return journal_->Failure();
}

std::vector<LineHealth> Forecourt::Health() const {
    std::vector<LineHealth> health;
    for (const auto& loop : loops_) {
        health.push_back(loop->Health());
    }
    return health;
}

Loop* Forecourt::LoopOf(int fuelPoint) const {
    for (const auto& loop : loops_) {
        if (loop->Owns(fuelPoint))
            return loop.get();
    }
    return nullptr;
}

// A command for one fuel point (from a caller, when it changes something): queued to the
// loop of its line, answered when that loop has done it.
void Forecourt::ToLoopOf(int fuelPoint, const Caller* caller, Done done,
                         std::function<Outcome(FuelPoints&)> command) {
    if (!running_)
        return done(NotRunning());
    if (caller != nullptr) {
        if (auto refused = CheckCaller(*caller))
            return done(*refused);
    }
    Loop* loop = LoopOf(fuelPoint);
    if (loop == nullptr) {
        return done(Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                                     "there is no fuel point " + std::to_string(fuelPoint)));
    }
    if (!loop->Post(
            [command = std::move(command), done](FuelPoints& points) { done(command(points)); })) {
        done(NotRunning());
    }
}

void Forecourt::Authorise(const AuthoriseRequest& request, const Caller& caller, Done done) {
    if (!running_)
        return done(NotRunning());
    if (auto refused = CheckCaller(caller))
        return done(*refused);
    // A fill is a promise to record it: none is made that the journal cannot keep.
    if (const auto failure = journal_->Failure())
        return done(JournalFailing(failure->error));
    const FuelPointConfig* point = config_.FuelPoint(request.fuelPoint);
    if (point == nullptr) {
        return done(
            Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                             "there is no fuel point " + std::to_string(request.fuelPoint)));
    }
    const Preset& preset = request.preset;
    if (preset.kind == Preset::Kind::Volume &&
        !(preset.value > 0 && preset.value <= kMaxVolumePreset)) {
        return done(Invalid("a volume preset is above 0 and at most 999.99 litres"));
    }
    if (preset.kind == Preset::Kind::Money &&
        !(preset.value > 0 && preset.value <= kMaxMoneyPreset)) {
        return done(Invalid("a money preset is above 0 and at most 9999.99"));
    }
    if (preset.kind == Preset::Kind::None && preset.value != 0) {
        return done(Invalid("a fill without a preset has no preset value"));
    }
    for (const std::string& grade : request.grades) {
        if (std::find(point->nozzles.begin(), point->nozzles.end(), grade) ==
            point->nozzles.end()) {
            return done(Invalid("fuel point " + std::to_string(point->id) +
                                " has no nozzle of grade " + grade));
        }
    }
    Loop* loop = LoopOf(request.fuelPoint);
    if (!loop->Post([request, caller, done](FuelPoints& points) {
            done(points.Authorise(request, caller));
        })) {
        done(NotRunning());
    }
}

void Forecourt::Stop(int fuelPoint, const Caller& caller, Done done) {
    ToLoopOf(fuelPoint, &caller, std::move(done), [fuelPoint, caller](FuelPoints& points) {
        return points.StopFill(fuelPoint, caller);
    });
}

void Forecourt::Close(int fuelPoint, const Caller& caller, Done done) {
    ToLoopOf(fuelPoint, &caller, std::move(done), [fuelPoint, caller](FuelPoints& points) {
        return points.SetClosed(fuelPoint, true, caller);
    });
}

void Forecourt::Open(int fuelPoint, const Caller& caller, Done done) {
    ToLoopOf(fuelPoint, &caller, std::move(done), [fuelPoint, caller](FuelPoints& points) {
        return points.SetClosed(fuelPoint, false, caller);
    });
}

void Forecourt::EmergencyStop(const Caller& caller, Done done) {
    if (!running_)
        return done(NotRunning());
    if (auto refused = CheckCaller(caller))
        return done(*refused);
    const RequestRecord record{caller, {{"operation", "emergency-stop"}}};
    Journal* journal = journal_.get();
    std::vector<Loop*> loops;
    for (const auto& loop : loops_) {
        loops.push_back(loop.get());
    }
    OncePerKey(*journal, record, done, [=] {
        auto gather = std::make_shared<Gather<std::vector<int>>>(
            loops.size(), [=](std::vector<std::vector<int>> parts) {
                std::vector<int> stopped;
                for (const auto& part : parts) {
                    stopped.insert(stopped.end(), part.begin(), part.end());
                }
                std::sort(stopped.begin(), stopped.end());
                FinishOnce(*journal, record, Outcome::Success({{"fuelPoints", stopped}}), done,
                           [record, stopped](WriteTransaction& t, const Outcome& outcome) {
                               const Time at = std::chrono::system_clock::now();
                               t.AppendEvent(
                                   event_type::kEmergencyStop,
                                   {{"by", record.caller.client}, {"fuelPoints", stopped}}, at);
                               Remember(t.Db(), record, outcome, at);
                           });
            });
        for (Loop* loop : loops) {
            if (!loop->Post(
                    [gather](FuelPoints& points) { gather->Add(points.StopEverything()); })) {
                gather->Add({});
            }
        }
    });
}

void Forecourt::SetPrice(const std::string& grade, double price, const Caller& caller, Done done) {
    if (!running_)
        return done(NotRunning());
    if (auto refused = CheckCaller(caller))
        return done(*refused);
    std::optional<Grade> current = board_->GradeOf(grade);
    if (!current) {
        return done(
            Outcome::Failure(Status::NotFound, reason::kNoGrade, "there is no grade " + grade));
    }
    if (const auto problem = PriceProblem(price))
        return done(Invalid("price: " + *problem));
    price = HeldPrice(price);
    const RequestRecord record{caller,
                               {{"operation", "price"}, {"grade", grade}, {"price", price}}};
    Journal* journal = journal_.get();
    Board* board = board_.get();
    std::vector<Loop*> loops;
    for (const auto& loop : loops_) {
        loops.push_back(loop.get());
    }
    Grade changed = *current;
    changed.price = price;
    OncePerKey(*journal, record, done, [=] {
        auto gather = std::make_shared<Gather<nlohmann::json>>(
            loops.size(), [=](std::vector<nlohmann::json> parts) {
                nlohmann::json report = nlohmann::json::array();
                std::string unconfirmed;
                for (const auto& part : parts) {
                    for (const auto& entry : part) {
                        report.push_back(entry);
                        if (!entry["confirmed"].get<bool>() && !entry["deferred"].get<bool>() &&
                            !entry["takesNoPrice"].get<bool>()) {
                            unconfirmed += (unconfirmed.empty() ? "" : ", ") +
                                           std::string("fuel point ") +
                                           std::to_string(entry["fuelPoint"].get<int>()) +
                                           " nozzle " + std::to_string(entry["nozzle"].get<int>());
                        }
                    }
                }
                nlohmann::json data = {{"grade", ToJson(changed)}, {"nozzles", report}};
                Outcome outcome = unconfirmed.empty()
                                      ? Outcome::Success(data)
                                      : Outcome::Failure(Status::LineFailed, reason::kNotConfirmed,
                                                         "the new price of grade " + changed.code +
                                                             " was not confirmed by " + unconfirmed,
                                                         data);
                FinishOnce(
                    *journal, record, std::move(outcome), done,
                    [changed, data, board, record](WriteTransaction& t, const Outcome& finished) {
                        const Time at = std::chrono::system_clock::now();
                        SetGradePrice(t.Db(), changed.code, changed.price, at);
                        t.AppendEvent(event_type::kPrice, data, at);
                        Remember(t.Db(), record, finished, at);
                        t.AfterCommit([board, changed] { board->SetGrade(changed); });
                    });
            });
        for (Loop* loop : loops) {
            if (!loop->Post([gather, grade, price](FuelPoints& points) {
                    gather->Add(points.ApplyPrice(grade, price));
                })) {
                gather->Add(nlohmann::json::array());
            }
        }
    });
}

void Forecourt::SaleRequest(SaleId sale, const Caller& caller, SaleOperation operation, Done done) {
    if (!running_)
        return done(NotRunning());
    if (auto refused = CheckCaller(caller))
        return done(*refused);
    const RequestRecord record{caller, {{"operation", Name(operation)}, {"sale", sale}}};
    Board* board = board_.get();
    auto outcome = std::make_shared<Outcome>();
    journal_->Post(
        [=](WriteTransaction& t) {
            if (auto recalled = Recall(t.Db(), record)) {
                *outcome = *recalled;
                return;
            }
            const Time at = std::chrono::system_clock::now();
            SaleChange change = ChangeSale(t.Db(), sale, operation, caller.client, at);
            if (change.changed) {
                t.AppendEvent(event_type::kSale, ToJson(*change.sale), at);
                if (change.sale->state == FillState::Cleared) {
                    const int point = change.sale->fuelPoint;
                    t.AfterCommit([board, point] { board->AddUncleared(point, -1); });
                }
            }
            // A request for a sale that is not there changes nothing and is not kept: the
            // same key may name the right sale next time.
            if (change.outcome.status != Status::NotFound) {
                Remember(t.Db(), record, change.outcome, at);
            }
            *outcome = change.outcome;
        },
        [done, outcome](std::exception_ptr error) {
            done(error ? FromException(error) : *outcome);
        });
}

void Forecourt::LockSale(SaleId sale, const Caller& caller, Done done) {
    SaleRequest(sale, caller, SaleOperation::Lock, std::move(done));
}

void Forecourt::UnlockSale(SaleId sale, const Caller& caller, Done done) {
    SaleRequest(sale, caller, SaleOperation::Unlock, std::move(done));
}

void Forecourt::ClearSale(SaleId sale, const Caller& caller, Done done) {
    SaleRequest(sale, caller, SaleOperation::Clear, std::move(done));
}

// From what the loop last read, at once: a client never waits on the line. Readings older
// than a few seconds are read again by the loop in its own time, for the next one to ask.
void Forecourt::ReadTotals(int fuelPoint, Done done) {
    if (!running_)
        return done(NotRunning());
    const FuelPointConfig* point = config_.FuelPoint(fuelPoint);
    Loop* loop = LoopOf(fuelPoint);
    if (point == nullptr || loop == nullptr) {
        return done(Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                                     "there is no fuel point " + std::to_string(fuelPoint)));
    }
    loop->WantTotals(fuelPoint);
    const std::map<int, TotalReading> totals = board_->Totals(fuelPoint);
    nlohmann::json nozzles = nlohmann::json::array();
    std::optional<Time> oldest;
    for (std::size_t i = 0; i < point->nozzles.size(); ++i) {
        const int nozzle = static_cast<int>(i) + 1;
        const auto found = totals.find(nozzle);
        nlohmann::json entry = {
            {"nozzle", nozzle}, {"grade", point->nozzles[i]}, {"volume", nullptr}, {"at", nullptr}};
        if (found != totals.end()) {
            entry["volume"] = found->second.volume;
            entry["at"] = FormatTime(found->second.at);
            if (!oldest || found->second.at < *oldest)
                oldest = found->second.at;
        }
        nozzles.push_back(std::move(entry));
    }
    done(Outcome::Success({{"fuelPoint", fuelPoint},
                           {"at", oldest ? nlohmann::json(FormatTime(*oldest)) : nullptr},
                           {"nozzles", std::move(nozzles)}}));
}

void Forecourt::Reconcile(const ReconcileRequest& request, Done done) {
    if (!running_)
        return done(NotRunning());
    if (request.fuelPoint && config_.FuelPoint(*request.fuelPoint) == nullptr) {
        return done(
            Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                             "there is no fuel point " + std::to_string(*request.fuelPoint)));
    }
    const double tolerance = request.tolerance.value_or(config_.tolerance);
    if (!(tolerance >= 0))
        return done(Invalid("the tolerance is 0 or more litres"));
    if (request.to && *request.to < request.from)
        return done(Invalid("the period ends before it begins"));
    // Until now: from the readings the journal holds; the loops read again in their own
    // time those older than a few seconds, for the next reconciliation.
    if (!request.to) {
        for (const FuelPointConfig& point : config_.fuelPoints) {
            if (!request.fuelPoint || *request.fuelPoint == point.id)
                LoopOf(point.id)->WantTotals(point.id);
        }
    }
    const Journal* journal = journal_.get();
    const Config* config = &config_;
    // On the forecourt's query worker: neither a line nor a server thread holds a long read.
    const bool queued = queries_.Post([=] {
        try {
            const Time to = request.to.value_or(std::chrono::system_clock::now());
            const Reconciliation result = journal->Read([&](Connection& db) {
                return forecourt::Reconcile(db, *config, request.from, to, request.fuelPoint,
                                            tolerance);
            });
            done(Outcome::Success(ToJson(result)));
        } catch (const std::exception& error) {
            done(Outcome::Failure(Status::Unavailable, reason::kJournalFailed, error.what()));
        }
    });
    if (!queued)
        done(NotRunning());
}

void Forecourt::Discrepancies(const DiscrepancyRequest& request, Done done) {
    if (!running_)
        return done(NotRunning());
    const FuelPointConfig* point = config_.FuelPoint(request.fuelPoint);
    if (point == nullptr) {
        return done(
            Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                             "there is no fuel point " + std::to_string(request.fuelPoint)));
    }
    if (request.nozzle < 1 || request.nozzle > static_cast<int>(point->nozzles.size())) {
        return done(Outcome::Failure(Status::NotFound, reason::kNoNozzle,
                                     "fuel point " + std::to_string(request.fuelPoint) +
                                         " has no nozzle " + std::to_string(request.nozzle)));
    }
    const double tolerance = request.tolerance.value_or(config_.tolerance);
    if (!(tolerance >= 0))
        return done(Invalid("the tolerance is 0 or more litres"));
    if (request.to && *request.to < request.from)
        return done(Invalid("the period ends before it begins"));
    const Journal* journal = journal_.get();
    const bool queued = queries_.Post([=] {
        try {
            DiscrepancyRequest fixed = request;
            fixed.to = request.to.value_or(std::chrono::system_clock::now());
            fixed.tolerance = tolerance;
            const std::optional<DiscrepancyPage> page =
                journal->Read([&](Connection& db) { return forecourt::Discrepancies(db, fixed); });
            if (!page)
                return done(Invalid("the cursor names no figure of this nozzle's totaliser"));
            done(Outcome::Success(ToJson(*page)));
        } catch (const std::exception& error) {
            done(Outcome::Failure(Status::Unavailable, reason::kJournalFailed, error.what()));
        }
    });
    if (!queued)
        done(NotRunning());
}

Outcome Forecourt::Await(const std::function<void(Done)>& command) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    std::future<Outcome> result = promise->get_future();
    command([promise](Outcome outcome) { promise->set_value(std::move(outcome)); });
    return result.get();
}

Subscription Forecourt::Subscribe(std::optional<Sequence> after,
                                  std::function<void(const Event&)> callback, bool progress) {
    if (!publisher_) {
        throw std::logic_error("subscribe after Start: the journal gives the events");
    }
    return Subscription(publisher_, publisher_->Add(after, std::move(callback), progress));
}

}  // namespace fuel::forecourt
