#include "forecourt/Loop.h"

#include <algorithm>
#include <cmath>

#include "driver/TVM30.h"
#include "forecourt/Requests.h"

namespace fuel::forecourt {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Money doses go to the controller as money, which it measures out to the last coin: with
// StartInLiter (the driver's default) they would go as litres at the price, and the fill
// would end a rounding away from what was paid. The driver-options file may still say
// otherwise.
constexpr std::uint32_t kDriverFlags = 0x10;

// A controller that fails this many polls in a row is OFFLINE; one whose answers make no
// sense this many polls in a row is in ERROR. One failed poll has already been retried by
// the line, so two is no flicker.
constexpr int kSilentPollsOffline = 2;
constexpr int kBadPollsError = 3;
// Polls a started nozzle may go on calling before the start is taken as lost.
constexpr int kStartPolls = 3;
// Polls at which the totalisers are read for the start's readings before we do without.
constexpr int kStartReadingAttempts = 3;
// Less than this on a totaliser is no fuel (the totaliser's own last digit).
constexpr double kNoFuel = 0.005;

Time Now() {
    return std::chrono::system_clock::now();
}

double Money(double value) {
    return std::round(value * 100) / 100;
}

bool IsRejection(std::int32_t code) {
    return code == reply_code::kBadStart || code == reply_code::kOnlyAcknowledge ||
           code == reply_code::kNoEnd || code == reply_code::kBadChecksum ||
           code == line_code::kShortReply;
}

std::uint8_t Running(int nozzle) {
    return static_cast<std::uint8_t>(status_code::kFillRunning + nozzle);
}

std::uint8_t Calling(int nozzle) {
    return static_cast<std::uint8_t>(status_code::kWaiting + nozzle);
}

nlohmann::json AuthoriseRequestJson(const AuthoriseRequest& request) {
    return {{"operation", "authorise"},
            {"fuelPoint", request.fuelPoint},
            {"preset", ToJson(request.preset)},
            {"grades", request.grades},
            {"prepaid", request.prepaid}};
}

Outcome JournalFailed(const std::exception& error) {
    return Outcome::Failure(Status::Unavailable, reason::kJournalFailed,
                            std::string("the journal cannot record: ") + error.what());
}

Outcome NoFuelPoint(int id) {
    return Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                            "there is no fuel point " + std::to_string(id));
}

}  // namespace

Loop::Loop(Shared shared, const LineConfig& line, OpenedLine opened)
    : shared_(shared), line_(line), opened_(std::move(opened)) {
    for (const FuelPointConfig& config : shared_.config.fuelPoints) {
        if (config.line != line_.name)
            continue;
        Point point;
        point.config = &config;
        for (std::size_t i = 0; i < config.nozzles.size(); ++i) {
            Nozzle nozzle;
            nozzle.number = static_cast<int>(i) + 1;
            nozzle.grade = config.nozzles[i];
            point.nozzles.push_back(nozzle);
        }
        points_.push_back(std::move(point));
    }
    health_.line = line_.name;
    health_.port = line_.port;
    for (const Point& point : points_) {
        health_.fuelPoints.push_back(point.config->id);
    }
}

Loop::~Loop() {
    Stop();
}

bool Loop::Owns(int fuelPoint) const {
    return std::any_of(points_.begin(), points_.end(),
                       [&](const Point& point) { return point.config->id == fuelPoint; });
}

std::future<void> Loop::Start(Recovered recovered) {
    std::promise<void> signal;
    std::future<void> ready = signal.get_future();
    {
        std::lock_guard lock(mutex_);
        running_ = true;
        stopping_ = false;
    }
    thread_ =
        std::thread([this, recovered = std::move(recovered), signal = std::move(signal)]() mutable {
            Run(std::move(recovered), std::move(signal));
        });
    return ready;
}

void Loop::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool Loop::Post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (!running_ || stopping_)
            return false;
        commands_.push_back(std::move(work));
    }
    wake_.notify_all();
    return true;
}

void Loop::RunCommands() {
    for (;;) {
        std::function<void()> command;
        {
            std::lock_guard lock(mutex_);
            if (commands_.empty())
                return;
            command = std::move(commands_.front());
            commands_.pop_front();
        }
        command();
    }
}

void Loop::Run(Recovered recovered, std::promise<void> recoveredSignal) {
    driver_ =
        std::make_unique<TVM30>(kDriverFlags, opened_.link.get(), line_.driverOptions.string());
    driver_->InitLink(kChannel);  // a port that does not open shows as OFFLINE fuel points
    for (Point& point : points_) {
        const int id = point.config->id;
        if (const auto closed = recovered.closed.find(id); closed != recovered.closed.end()) {
            point.closed = closed->second;
        }
        for (const OpenFill& fill : recovered.fills) {
            if (fill.fuelPoint == id)
                point.fill = Fill{fill};
        }
        for (Nozzle& nozzle : point.nozzles) {
            if (const auto grade = shared_.board.GradeOf(nozzle.grade)) {
                nozzle.pendingPrice = grade->price;
            }
        }
        shared_.board.SetPoint(ViewOf(point));
    }
    Cycle();
    recoveredSignal.set_value();
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (stopping_)
                break;
            if (!LineAnswered() && shared_.options.downPause.count() > 0 && commands_.empty()) {
                wake_.wait_for(lock, shared_.options.downPause,
                               [&] { return stopping_ || !commands_.empty(); });
            } else if (shared_.options.idlePause.count() > 0 && commands_.empty()) {
                const bool quiet = std::all_of(points_.begin(), points_.end(), [](const Point& p) {
                    return !p.fill && !p.outside;
                });
                if (quiet) {
                    wake_.wait_for(lock, shared_.options.idlePause,
                                   [&] { return stopping_ || !commands_.empty(); });
                }
            }
        }
        RunCommands();
        Cycle();
    }
    RunCommands();
}

void Loop::Cycle() {
    const auto started = SteadyClock::now();
    const LineCounters before = opened_.counters ? opened_.counters() : LineCounters{};
    bool anyAnswered = false;
    for (Point& point : points_) {
        RunCommands();
        Poll(point);
        anyAnswered = anyAnswered || point.silentPolls == 0;
    }
    if (opened_.afterCycle)
        opened_.afterCycle();
    const auto took =
        std::chrono::duration_cast<LineHealth::Duration>(SteadyClock::now() - started);
    const LineCounters after = opened_.counters ? opened_.counters() : LineCounters{};
    std::lock_guard lock(healthMutex_);
    health_.up = anyAnswered;
    health_.counters = after;
    ++health_.cycles;
    health_.lastCycle = took;
    health_.minCycle = health_.cycles == 1 ? took : std::min(health_.minCycle, took);
    health_.maxCycle = std::max(health_.maxCycle, took);
    cycleTotal_ += took;
    health_.meanCycle = cycleTotal_ / static_cast<LineHealth::Duration::rep>(health_.cycles);
    health_.lastWireTime = after.wireTime - before.wireTime;
}

bool Loop::LineAnswered() const {
    std::lock_guard lock(healthMutex_);
    return health_.up;
}

LineHealth Loop::Health() const {
    std::lock_guard lock(healthMutex_);
    return health_;
}

void Loop::Poll(Point& point) {
    const auto address = static_cast<std::uint8_t>(point.config->address);
    const auto count = static_cast<std::uint8_t>(point.nozzles.size());
    StatusRecordEx record;
    bool answered = false;
    try {
        driver_->PollDispenserStatusEx(kChannel, address, count, record);
        answered = driver_->GetLinkState(kChannel) == link_state::kGood;
        if (!answered)
            ++point.badPolls;
    } catch (const Exception&) {
        if (IsRejection(opened_.link->GetChannelError(kChannel))) {
            ++point.badPolls;
        } else {
            ++point.silentPolls;
            point.badPolls = 0;
        }
    }
    if (!answered) {
        PublishIfChanged(point);
        return;
    }
    point.answered = true;
    point.silentPolls = 0;
    point.badPolls = 0;
    point.autonomous = driver_->InModeZero(kChannel, address);
    for (int nozzle = 1; nozzle <= count; ++nozzle) {
        const std::size_t at = static_cast<std::size_t>(2 + 2 * (nozzle - 1));
        point.codes[static_cast<std::size_t>(nozzle)] = record.bytes[at];
        point.previousVolumes[static_cast<std::size_t>(nozzle)] =
            point.volumes[static_cast<std::size_t>(nozzle)];
        point.volumes[static_cast<std::size_t>(nozzle)] =
            driver_->Tables().NozzleVolume[kChannel][address][nozzle];
    }
    // The readings at start give the reconciliation its first figures; a totaliser that
    // cannot be read is tried again at the next polls, a few times, and never holds up the
    // fills.
    if (!point.readTotals && point.totalAttempts < kStartReadingAttempts) {
        ++point.totalAttempts;
        try {
            ReadStartTotals(point);
        } catch (const std::exception&) {
        }
    }
    try {
        if (point.autonomous) {
            EvaluateAutonomous(point);
        } else {
            Evaluate(point);
        }
    } catch (const Exception&) {
        // A command to the controller failed midway: the next poll takes it up again.
    } catch (const std::exception&) {
        // The journal failed: nothing was done at the pump that it does not show.
    }
    PublishIfChanged(point);
}

void Loop::Evaluate(Point& point) {
    int running = 0;
    std::vector<int> calling;
    for (const Nozzle& nozzle : point.nozzles) {
        const std::uint8_t code = point.codes[static_cast<std::size_t>(nozzle.number)];
        if (code == Running(nozzle.number) && running == 0)
            running = nozzle.number;
        if (code == Calling(nozzle.number))
            calling.push_back(nozzle.number);
    }
    if (point.fill && point.fill->record.state == FillState::Authorised) {
        if (running != 0) {
            Adopt(point, running);
        } else {
            const auto& grades = point.fill->record.grades;
            for (int nozzle : calling) {
                const std::string& grade = NozzleOf(point, nozzle)->grade;
                if (grades.empty() ||
                    std::find(grades.begin(), grades.end(), grade) != grades.end()) {
                    StartAt(point, nozzle);
                    break;
                }
            }
        }
    } else if (point.fill) {
        Fill& fill = *point.fill;
        const int nozzle = fill.record.nozzle;
        const std::uint8_t code = point.codes[static_cast<std::size_t>(nozzle)];
        if (code == Running(nozzle)) {
            fill.seenRunning = true;
            fill.pollsWaiting = 0;
            fill.volume = point.volumes[static_cast<std::size_t>(nozzle)];
            fill.amount = Money(fill.volume * fill.record.price);
        } else if (!fill.seenRunning && code == Calling(nozzle)) {
            // Either the start has not taken yet, or the fill ran and ended between two
            // polls (or while we were down) and the next customer lifts the nozzle already:
            // the totaliser tells which.
            if (++fill.pollsWaiting >= kStartPolls)
                Settle(point);
        } else {
            Settle(point);
        }
    } else if (running != 0) {
        const double volume = point.volumes[static_cast<std::size_t>(running)];
        const Nozzle* nozzle = NozzleOf(point, running);
        if (!point.outside || point.outside->nozzle != running) {
            point.outside = Outside{running, 0, 0, Now()};
        }
        point.outside->volume = volume;
        point.outside->amount = Money(volume * PriceOf(*nozzle));
    } else {
        point.outside.reset();
    }
    ApplyPendingPrices(point);
}

// A mode-'0' controller keeps no status of its own and takes no start: a nozzle whose volume
// rises is dispensing, whatever the driver's bookkeeping says.
void Loop::EvaluateAutonomous(Point& point) {
    int rising = 0;
    for (const Nozzle& nozzle : point.nozzles) {
        const auto n = static_cast<std::size_t>(nozzle.number);
        if (point.volumes[n] > point.previousVolumes[n] && rising == 0)
            rising = nozzle.number;
    }
    if (rising != 0) {
        const double volume = point.volumes[static_cast<std::size_t>(rising)];
        if (!point.outside || point.outside->nozzle != rising) {
            point.outside = Outside{rising, 0, 0, Now()};
        }
        point.outside->volume = volume;
        point.outside->amount = Money(volume * PriceOf(*NozzleOf(point, rising)));
    } else {
        point.outside.reset();
    }
    ApplyPendingPrices(point);
}

// The fill's record from the moment a nozzle runs for it: that nozzle, its grade, the price
// the controller runs at, the totaliser before.
void Loop::MarkFuelling(Fill& fill, const Nozzle& nozzle, double totalBefore, Time at) const {
    fill.record.state = FillState::Fuelling;
    fill.record.nozzle = nozzle.number;
    fill.record.grade = nozzle.grade;
    fill.record.price = PriceOf(nozzle);
    fill.record.totalBefore = totalBefore;
    fill.record.startedAt = at;
}

void Loop::StartAt(Point& point, int number) {
    Fill& fill = *point.fill;
    Nozzle& nozzle = *NozzleOf(point, number);
    const double total = ReadTotal(point, number);
    // The price the fill runs at is the one the controller confirmed; a price still waiting
    // for this nozzle goes out first, so that the fill runs at it.
    if (nozzle.pendingPrice)
        ApplyPriceAt(point, nozzle);
    const Time at = Now();
    const Fill before = fill;
    MarkFuelling(fill, nozzle, total, at);
    fill.seenRunning = false;
    fill.pollsWaiting = 0;
    fill.volume = fill.amount = 0;
    const SaleId id = fill.record.id;
    const OpenFill record = fill.record;
    if (!Commit(point, [&](WriteTransaction& t, FuelPointView&) {
            MarkStarted(t.Db(), id, number, record.grade, record.price, total, at);
            return true;
        })) {
        point.fill = before;
        return;
    }
    const auto address = static_cast<std::uint32_t>(point.config->address);
    try {
        if (record.preset.kind == Preset::Kind::Volume) {
            driver_->SetVolumeLimit(kChannel, address, static_cast<std::uint32_t>(number), 0,
                                    record.preset.value);
        } else if (record.preset.kind == Preset::Kind::Money) {
            driver_->SetMoneyLimit(kChannel, address, static_cast<std::uint32_t>(number), 0,
                                   record.preset.value);
        }
        driver_->StartFill(kChannel, address, static_cast<std::uint32_t>(number), 0);
    } catch (const Exception&) {
        // The start did not go out (or we cannot tell): authorised again, and the next poll
        // that finds the nozzle calling starts it anew.
        Unstart(point);
    }
}

void Loop::Adopt(Point& point, int number) {
    // Our authorisation is pending and a nozzle of the point runs: the start came from the
    // pump's side of an authorisation of ours (a controller that starts a lifted nozzle by
    // itself once released). The fill is ours; its totaliser before is the one now less
    // what has run.
    Fill& fill = *point.fill;
    const Nozzle& nozzle = *NozzleOf(point, number);
    const double volume = point.volumes[static_cast<std::size_t>(number)];
    const double total = ReadTotal(point, number) - volume;
    const Time at = Now();
    const Fill before = fill;
    MarkFuelling(fill, nozzle, total, at);
    fill.seenRunning = true;
    fill.volume = volume;
    fill.amount = Money(volume * PriceOf(nozzle));
    const OpenFill record = fill.record;
    if (!Commit(point, [&](WriteTransaction& t, FuelPointView&) {
            MarkStarted(t.Db(), record.id, number, record.grade, record.price, total, at);
            return true;
        })) {
        point.fill = before;
    }
}

void Loop::Unstart(Point& point) {
    Fill& fill = *point.fill;
    const Fill before = fill;
    const SaleId id = fill.record.id;
    fill.record.state = FillState::Authorised;
    fill.record.nozzle = 0;
    fill.record.grade.clear();
    fill.record.price = 0;
    fill.record.totalBefore = 0;
    fill.record.startedAt.reset();
    fill.seenRunning = false;
    fill.pollsWaiting = 0;
    if (!Commit(point, [&](WriteTransaction& t, FuelPointView&) {
            MarkUnstarted(t.Db(), id);
            return true;
        })) {
        point.fill = before;
    }
}

// A started fill whose nozzle no longer runs. The totaliser says whether fuel flowed since
// the start: that holds whether this process saw the fill run or was started again after a
// crash, before or after the start went out.
void Loop::Settle(Point& point) {
    Fill& fill = *point.fill;
    const int number = fill.record.nozzle;
    Nozzle& nozzle = *NozzleOf(point, number);
    const double total = ReadTotal(point, number);
    const double growth = total - fill.record.totalBefore;
    if (!fill.seenRunning && growth < kNoFuel) {
        if (point.codes[static_cast<std::size_t>(number)] == Calling(number)) {
            Unstart(point);  // the start never took; the nozzle still waits for it
        } else {
            Cancel(point, "no fuel taken", std::nullopt, nullptr);
        }
        return;
    }
    // The driver reads the fill of its current nozzle at its price: both must be this fill's
    // (after a restart they are the driver's defaults).
    SelectNozzle(point, number);
    UseDriverPrice(point, nozzle, fill.record.price);
    const auto address = static_cast<std::uint32_t>(point.config->address);
    double volume = 0;
    double amount = 0;
    driver_->GetFinalDispensedData(kChannel, address, volume, amount);
    if (driver_->GetLinkState(kChannel) != link_state::kGood) {
        return;  // a garbled reply: read it again at the next poll
    }
    if (volume <= 0 && growth < kNoFuel) {
        Cancel(point, "no fuel taken", std::nullopt, nullptr);
        return;
    }
    const Time at = Now();
    const Fill before = fill;
    const SaleId id = fill.record.id;
    const int fuelPoint = point.config->id;
    point.fill.reset();
    std::optional<Sale> sale;
    if (!Commit(point, [&](WriteTransaction& t, FuelPointView&) {
            sale = MarkEnded(t.Db(), id, volume, amount, total, at);
            t.AppendEvent(event_type::kSale, ToJson(*sale), at);
            Board& board = shared_.board;
            t.AfterCommit([&board, fuelPoint] { board.AddUncleared(fuelPoint, 1); });
            return true;
        })) {
        point.fill = before;
        return;
    }
    ApplyPendingPrices(point);
}

bool Loop::Cancel(Point& point, const std::string& why, const std::optional<RequestRecord>& request,
                  Outcome* outcome) {
    const Fill before = *point.fill;
    FillView cancelled = *ViewOf(point).fill;
    point.fill.reset();
    const Time at = Now();
    bool changed = false;
    const bool committed = Commit(point, [&](WriteTransaction& t, FuelPointView& view) {
                               if (request) {
                                   if (auto recalled = Recall(t.Db(), *request)) {
                                       *outcome = *recalled;
                                       return false;
                                   }
                               }
                               MarkCancelled(t.Db(), before.record.id, why, at);
                               nlohmann::json data = ToJson(cancelled);
                               data["reason"] = why;
                               data["fuelPoint"] = view.id;
                               t.AppendEvent(event_type::kFillCancelled, std::move(data), at);
                               if (request) {
                                   *outcome = Outcome::Success(ToJson(view));
                                   Remember(t.Db(), *request, *outcome, at);
                               }
                               changed = true;
                               return true;
                           }).has_value();
    if (!committed || !changed)
        point.fill = before;
    return committed;
}

bool Loop::StopPump(Point& point, int nozzle) {
    SelectNozzle(point, nozzle);
    driver_->StopFill(kChannel, static_cast<std::uint32_t>(point.config->address), 0, 1);
    return true;
}

void Loop::SelectNozzle(Point& point, int nozzle) {
    // The driver reads a fill's figures and stops a pump at its current nozzle, which only a
    // start or a dose chooses: for a fill it did not start (after a restart, or one started
    // elsewhere) it is pointed at the fill's nozzle, without anything sent.
    const int address = point.config->address;
    if (driver_->Tables().CurrentNozzle[kChannel][address] != nozzle) {
        driver_->SelectNozzle(kChannel, address, static_cast<std::uint8_t>(nozzle));
    }
}

// The price a fill at the nozzle runs at: the one its controller confirmed, else (one that
// never read back) the one last sent to it.
double Loop::PriceOf(const Nozzle& nozzle) const {
    if (nozzle.confirmedPrice > 0)
        return nozzle.confirmedPrice;
    return nozzle.driverPrice.value_or(0);
}

void Loop::UseDriverPrice(Point& point, Nozzle& nozzle, double price) {
    // A fill recorded without a price (its controller never had one from us) is read at
    // whatever the driver holds: sending 0 would set the pump's price to nothing.
    if (price <= 0 || (nozzle.driverPrice && *nozzle.driverPrice == price))
        return;
    driver_->SetPrice(kChannel, static_cast<std::uint32_t>(point.config->address),
                      static_cast<std::uint32_t>(nozzle.number), 0, 0, price);
    nozzle.driverPrice = price;
}

double Loop::ReadTotal(Point& point, int nozzle) {
    double volume = 0;
    double money = 0;
    driver_->GetTotalizer(kChannel, static_cast<std::uint32_t>(point.config->address),
                          static_cast<std::uint32_t>(nozzle), volume, money, 0, 0);
    if (driver_->GetLinkState(kChannel) != link_state::kGood) {
        throw ESerialIO("the totaliser's reply was garbled");
    }
    return volume;
}

void Loop::ReadStartTotals(Point& point) {
    std::vector<std::pair<int, double>> totals;
    for (const Nozzle& nozzle : point.nozzles) {
        totals.emplace_back(nozzle.number, ReadTotal(point, nozzle.number));
    }
    const Time at = Now();
    const int id = point.config->id;
    shared_.journal
        .Write([&](WriteTransaction& t) {
            for (const auto& [nozzle, volume] : totals) {
                InsertReading(t.Db(), id, nozzle, volume, at, "start");
            }
        })
        .get();
    point.readTotals = true;
}

void Loop::ApplyPendingPrices(Point& point) {
    for (Nozzle& nozzle : point.nozzles) {
        if (!nozzle.pendingPrice)
            continue;
        const bool busy = (point.fill && point.fill->record.state == FillState::Fuelling &&
                           point.fill->record.nozzle == nozzle.number) ||
                          (point.outside && point.outside->nozzle == nozzle.number);
        if (!busy)
            ApplyPriceAt(point, nozzle);
    }
}

nlohmann::json Loop::ApplyPriceAt(Point& point, Nozzle& nozzle) {
    const double price = *nozzle.pendingPrice;
    const auto address = static_cast<std::uint32_t>(point.config->address);
    const auto number = static_cast<std::uint32_t>(nozzle.number);
    nlohmann::json entry = {{"fuelPoint", point.config->id},
                            {"nozzle", nozzle.number},
                            {"confirmed", false},
                            {"deferred", false},
                            {"error", nullptr}};
    try {
        driver_->SetPrice(kChannel, address, number, 0, 0, price);
        nozzle.driverPrice = price;
        const std::int32_t readBack = driver_->ReadPrice(kChannel, address, number);
        const auto hundredths = static_cast<std::int32_t>(std::lround(price * 100));
        if (readBack == hundredths) {
            nozzle.confirmedPrice = price;
            entry["confirmed"] = true;
        } else {
            entry["error"] = "the controller reads back " + std::to_string(readBack / 100) + "." +
                             std::to_string(readBack % 100 / 10) + std::to_string(readBack % 10);
        }
        nozzle.pendingPrice.reset();
    } catch (const Exception& error) {
        // No answer: the price stays pending and goes out when the controller answers.
        entry["error"] = error.Message();
    }
    return entry;
}

FuelPointState Loop::StateOf(const Point& point) const {
    if (point.badPolls >= kBadPollsError)
        return FuelPointState::Error;
    if (!point.answered || point.silentPolls >= kSilentPollsOffline)
        return FuelPointState::Offline;
    if (point.fill) {
        return point.fill->record.state == FillState::Fuelling ? FuelPointState::Fuelling
                                                               : FuelPointState::Authorised;
    }
    if (point.outside)
        return FuelPointState::Fuelling;
    if (point.closed)
        return FuelPointState::Closed;
    for (const Nozzle& nozzle : point.nozzles) {
        if (point.codes[static_cast<std::size_t>(nozzle.number)] == Calling(nozzle.number)) {
            return FuelPointState::Calling;
        }
    }
    return FuelPointState::Idle;
}

FuelPointView Loop::ViewOf(const Point& point) const {
    FuelPointView view;
    view.id = point.config->id;
    view.line = line_.name;
    view.address = point.config->address;
    view.state = StateOf(point);
    view.closed = point.closed;
    view.saleBuffer = point.config->saleBuffer;
    for (const Nozzle& nozzle : point.nozzles) {
        view.nozzles.push_back({nozzle.number, nozzle.grade, nozzle.confirmedPrice});
    }
    if (point.fill) {
        const OpenFill& record = point.fill->record;
        FillView fill;
        fill.id = record.id;
        fill.state = record.state;
        fill.preset = record.preset;
        fill.grades = record.grades;
        fill.prepaid = record.prepaid;
        fill.authorisedBy = record.authorisedBy;
        fill.nozzle = record.nozzle;
        fill.grade = record.grade;
        fill.price = record.price;
        fill.volume = point.fill->volume;
        fill.amount = point.fill->amount;
        fill.authorisedAt = record.authorisedAt;
        fill.startedAt = record.startedAt;
        view.fill = fill;
    } else if (point.outside) {
        FillView fill;
        fill.state = FillState::Fuelling;
        fill.authorised = false;
        fill.nozzle = point.outside->nozzle;
        const Nozzle& nozzle = point.nozzles[static_cast<std::size_t>(fill.nozzle - 1)];
        fill.grade = nozzle.grade;
        fill.price = PriceOf(nozzle);
        fill.volume = point.outside->volume;
        fill.amount = point.outside->amount;
        fill.startedAt = point.outside->since;
        view.fill = fill;
    }
    return view;
}

std::optional<FuelPointView> Loop::Commit(Point& point, Change change) {
    FuelPointView view = ViewOf(point);
    Board& board = shared_.board;
    try {
        const bool changed = shared_.journal
                                 .Write([&](WriteTransaction& t) {
                                     if (!change(t, view))
                                         return false;
                                     t.AppendEvent(event_type::kFuelPoint, ToJson(view), Now());
                                     t.AfterCommit([&board, view] { board.SetPoint(view); });
                                     return true;
                                 })
                                 .get();
        if (changed)
            point.published = view;
        return view;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A state change goes through the journal as an event; the fill's running volume and amount
// only to the board and the live subscribers.
void Loop::PublishIfChanged(Point& point) {
    FuelPointView view = ViewOf(point);
    if (point.published) {
        const FuelPointView& last = *point.published;
        const bool sameFill = last.fill.has_value() == view.fill.has_value() &&
                              (!view.fill || (last.fill->id == view.fill->id &&
                                              last.fill->state == view.fill->state &&
                                              last.fill->nozzle == view.fill->nozzle));
        bool samePrices = last.nozzles.size() == view.nozzles.size();
        for (std::size_t i = 0; samePrices && i < view.nozzles.size(); ++i) {
            samePrices = last.nozzles[i].price == view.nozzles[i].price;
        }
        if (last.state == view.state && last.closed == view.closed && sameFill && samePrices) {
            if (view.fill && (view.fill->volume != last.fill->volume ||
                              view.fill->amount != last.fill->amount)) {
                shared_.board.SetPoint(view);
                point.published = view;
                shared_.publisher.PublishLive(
                    Event{0, std::string(event_type::kFillProgress), Now(), ToJson(view)});
            }
            return;
        }
    }
    Commit(point, [](WriteTransaction&, FuelPointView&) { return true; });
}

Loop::Point* Loop::Find(int fuelPoint) {
    for (Point& point : points_) {
        if (point.config->id == fuelPoint)
            return &point;
    }
    return nullptr;
}

Loop::Nozzle* Loop::NozzleOf(Point& point, int number) {
    return &point.nozzles.at(static_cast<std::size_t>(number - 1));
}

std::optional<Outcome> Loop::Remembered(const RequestRecord& record) {
    return shared_.journal
        .Write([&](WriteTransaction& t) -> std::optional<Outcome> {
            if (auto recalled = Recall(t.Db(), record))
                return recalled;
            Reserve(t.Db(), record, Now());
            return std::nullopt;
        })
        .get();
}

Outcome Loop::Finish(const RequestRecord& record, Outcome outcome) {
    shared_.journal.Write([&](WriteTransaction& t) { Remember(t.Db(), record, outcome, Now()); })
        .get();
    return outcome;
}

Outcome Loop::Authorise(const AuthoriseRequest& request, const Caller& caller) {
    Point* point = Find(request.fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(request.fuelPoint);
    const RequestRecord record{caller, AuthoriseRequestJson(request)};
    std::optional<Outcome> refusal;
    const FuelPointState state = StateOf(*point);
    if (state == FuelPointState::Offline || state == FuelPointState::Error) {
        refusal = Outcome::Failure(Status::Refused, reason::kOffline,
                                   "fuel point " + std::to_string(request.fuelPoint) + " is " +
                                       std::string(forecourt::Name(state)));
    } else if (point->closed) {
        refusal =
            Outcome::Failure(Status::Refused, reason::kClosed,
                             "fuel point " + std::to_string(request.fuelPoint) + " is closed");
    } else if (point->autonomous) {
        refusal =
            Outcome::Failure(Status::Refused, reason::kAutonomous,
                             "the controller of fuel point " + std::to_string(request.fuelPoint) +
                                 " dispenses on its own and takes no release");
    } else if (point->fill || point->outside) {
        refusal = Outcome::Failure(Status::Refused, reason::kBusy,
                                   "fuel point " + std::to_string(request.fuelPoint) + " is " +
                                       std::string(forecourt::Name(state)));
    }
    const Time at = Now();
    const bool tentative = !refusal;
    if (tentative) {
        Fill fill;
        fill.record.fuelPoint = request.fuelPoint;
        fill.record.state = FillState::Authorised;
        fill.record.preset = request.preset;
        fill.record.grades = request.grades;
        fill.record.prepaid = request.prepaid;
        fill.record.authorisedBy = caller.client;
        fill.record.authorisedAt = at;
        point->fill = fill;
    }
    Outcome outcome;
    SaleId id = 0;
    const int buffer = point->config->saleBuffer;
    const auto committed = Commit(*point, [&](WriteTransaction& t, FuelPointView& view) {
        if (auto recalled = Recall(t.Db(), record)) {
            outcome = *recalled;
            return false;
        }
        if (!refusal && UnclearedSales(t.Db(), request.fuelPoint) >= buffer) {
            refusal =
                Outcome::Failure(Status::Refused, reason::kBufferFull,
                                 "fuel point " + std::to_string(request.fuelPoint) + " holds " +
                                     std::to_string(buffer) + " sales not yet paid");
        }
        if (refusal) {
            outcome = *refusal;
            Remember(t.Db(), record, outcome, at);
            return false;
        }
        id = InsertAuthorised(t.Db(), request.fuelPoint, request.preset, request.grades,
                              request.prepaid, caller.client, at);
        view.fill->id = id;
        outcome = Outcome::Success(ToJson(view));
        Remember(t.Db(), record, outcome, at);
        return true;
    });
    if (!committed || id == 0) {
        if (tentative)
            point->fill.reset();
        if (!committed) {
            return Outcome::Failure(Status::Unavailable, reason::kJournalFailed,
                                    "the journal cannot record the authorisation");
        }
        return outcome;
    }
    point->fill->record.id = id;
    if (opened_.authorised)
        opened_.authorised(point->config->address);
    // A nozzle already calling starts at once, not at the next poll.
    try {
        Evaluate(*point);
    } catch (const std::exception&) {
        // The next poll starts it.
    }
    PublishIfChanged(*point);
    return outcome;
}

Outcome Loop::Stop(int fuelPoint, const Caller& caller) {
    Point* point = Find(fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(fuelPoint);
    const RequestRecord record{caller, {{"operation", "stop"}, {"fuelPoint", fuelPoint}}};
    try {
        if (point->fill && point->fill->record.state == FillState::Authorised) {
            Outcome outcome;
            if (!Cancel(*point, "withdrawn", record, &outcome)) {
                return Outcome::Failure(Status::Unavailable, reason::kJournalFailed,
                                        "the journal cannot record the stop");
            }
            return outcome;
        }
        if (auto recalled = Remembered(record))
            return *recalled;
        const int nozzle = point->fill      ? point->fill->record.nozzle
                           : point->outside ? point->outside->nozzle
                                            : 0;
        if (nozzle == 0) {
            return Finish(record, Outcome::Failure(Status::Refused, reason::kNothingToStop,
                                                   "fuel point " + std::to_string(fuelPoint) +
                                                       " has no fill to stop"));
        }
        try {
            StopPump(*point, nozzle);
        } catch (const Exception& error) {
            return Finish(record, Outcome::Failure(Status::LineFailed, reason::kNoAnswer,
                                                   "fuel point " + std::to_string(fuelPoint) +
                                                       ": " + error.Message()));
        }
        return Finish(record, Outcome::Success(ToJson(ViewOf(*point))));
    } catch (const std::exception& error) {
        return JournalFailed(error);
    }
}

std::vector<int> Loop::StopEverything() {
    std::vector<int> stopped;
    for (Point& point : points_) {
        bool acted = false;
        if (point.fill && point.fill->record.state == FillState::Authorised) {
            acted = Cancel(point, "emergency stop", std::nullopt, nullptr);
        } else if (point.fill || point.outside) {
            const int nozzle = point.fill ? point.fill->record.nozzle : point.outside->nozzle;
            try {
                acted = StopPump(point, nozzle);
            } catch (const Exception&) {
                // Not stopped: the id is left out, which the caller reports.
            }
        }
        if (acted)
            stopped.push_back(point.config->id);
    }
    return stopped;
}

Outcome Loop::SetClosed(int fuelPoint, bool closed, const Caller& caller) {
    Point* point = Find(fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(fuelPoint);
    const RequestRecord record{
        caller, {{"operation", closed ? "close" : "open"}, {"fuelPoint", fuelPoint}}};
    const bool wasClosed = point->closed;
    std::optional<Fill> withdrawn;
    if (closed && point->fill && point->fill->record.state == FillState::Authorised) {
        withdrawn = point->fill;
        point->fill.reset();
    }
    point->closed = closed;
    Outcome outcome;
    const Time at = Now();
    bool changed = false;
    const auto committed = Commit(*point, [&](WriteTransaction& t, FuelPointView& view) {
        if (auto recalled = Recall(t.Db(), record)) {
            outcome = *recalled;
            return false;
        }
        changed = true;
        forecourt::SetClosed(t.Db(), fuelPoint, closed);
        if (withdrawn) {
            MarkCancelled(t.Db(), withdrawn->record.id, "closed", at);
            nlohmann::json data = ToJson(FillView{
                withdrawn->record.id, FillState::Authorised, true, withdrawn->record.preset,
                withdrawn->record.grades, withdrawn->record.prepaid, withdrawn->record.authorisedBy,
                0, "", 0, 0, 0, withdrawn->record.authorisedAt, std::nullopt});
            data["reason"] = "closed";
            data["fuelPoint"] = fuelPoint;
            t.AppendEvent(event_type::kFillCancelled, std::move(data), at);
        }
        outcome = Outcome::Success(ToJson(view));
        Remember(t.Db(), record, outcome, at);
        return true;
    });
    if (!committed || !changed) {
        point->closed = wasClosed;
        if (withdrawn)
            point->fill = withdrawn;
    }
    if (!committed) {
        return Outcome::Failure(Status::Unavailable, reason::kJournalFailed,
                                "the journal cannot record it");
    }
    return outcome;
}

nlohmann::json Loop::ApplyPrice(const std::string& grade, double price) {
    nlohmann::json report = nlohmann::json::array();
    for (Point& point : points_) {
        for (Nozzle& nozzle : point.nozzles) {
            if (nozzle.grade != grade)
                continue;
            nozzle.pendingPrice = price;
            const bool busy = (point.fill && point.fill->record.state == FillState::Fuelling &&
                               point.fill->record.nozzle == nozzle.number) ||
                              (point.outside && point.outside->nozzle == nozzle.number);
            if (busy) {
                report.push_back({{"fuelPoint", point.config->id},
                                  {"nozzle", nozzle.number},
                                  {"confirmed", false},
                                  {"deferred", true},
                                  {"error", nullptr}});
            } else {
                report.push_back(ApplyPriceAt(point, nozzle));
            }
        }
        PublishIfChanged(point);
    }
    return report;
}

Outcome Loop::ReadTotals(int fuelPoint) {
    Point* point = Find(fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(fuelPoint);
    nlohmann::json nozzles = nlohmann::json::array();
    std::vector<std::pair<int, double>> totals;
    try {
        for (const Nozzle& nozzle : point->nozzles) {
            const double volume = ReadTotal(*point, nozzle.number);
            totals.emplace_back(nozzle.number, volume);
            nozzles.push_back(
                {{"nozzle", nozzle.number}, {"grade", nozzle.grade}, {"volume", volume}});
        }
    } catch (const Exception& error) {
        return Outcome::Failure(Status::LineFailed, reason::kNoAnswer,
                                "fuel point " + std::to_string(fuelPoint) + ": " + error.Message());
    }
    const Time at = Now();
    try {
        shared_.journal
            .Write([&](WriteTransaction& t) {
                for (const auto& [nozzle, volume] : totals) {
                    InsertReading(t.Db(), fuelPoint, nozzle, volume, at, "read");
                }
            })
            .get();
    } catch (const std::exception& error) {
        return JournalFailed(error);
    }
    return Outcome::Success(
        {{"fuelPoint", fuelPoint}, {"at", FormatTime(at)}, {"nozzles", nozzles}});
}

}  // namespace fuel::forecourt
