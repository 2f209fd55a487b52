#include "forecourt/FuelPoints.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "driver/Exceptions.h"
#include "forecourt/Board.h"
#include "forecourt/ControllerAdapter.h"
#include "forecourt/Publisher.h"
#include "forecourt/Store.h"

namespace fuel::forecourt {
namespace {

// A controller that fails this many polls in a row is OFFLINE; one whose answers make no
// sense this many polls in a row is in ERROR. One failed poll has already been retried by
// the line, so two is no flicker.
constexpr int kSilentPollsOffline = 2;
constexpr int kBadPollsError = 3;
// Polls at which the totalisers are read for the start's readings before we do without.
constexpr int kStartReadingAttempts = 3;

Time Now() {
    return std::chrono::system_clock::now();
}

std::string FormatVolume(double litres) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", litres);
    return text;
}

}  // namespace

FuelPoints::FuelPoints(Services services, const LineConfig& line)
    : services_(services), line_(line) {
    for (const FuelPointConfig& config : services_.config.fuelPoints) {
        if (config.line != line_.name)
            continue;
        points_.emplace_back(config);
    }
}

bool FuelPoints::Owns(int fuelPoint) const {
    return std::any_of(points_.begin(), points_.end(),
                       [&](const Point& point) { return point.Id() == fuelPoint; });
}

std::vector<int> FuelPoints::Ids() const {
    std::vector<int> ids;
    for (const Point& point : points_)
        ids.push_back(point.Id());
    return ids;
}

bool FuelPoints::Quiet() const {
    return std::all_of(points_.begin(), points_.end(),
                       [](const Point& point) { return point.machine.Quiet(); });
}

void FuelPoints::Begin(ControllerAdapter& controller, Recovered recovered,
                       std::function<void(int)> authorised) {
    controller_ = &controller;
    authorised_ = std::move(authorised);
    for (Point& point : points_) {
        if (const auto closed = recovered.closed.find(point.Id());
            closed != recovered.closed.end()) {
            point.closed = closed->second;
        }
        for (const OpenFill& fill : recovered.fills) {
            if (fill.fuelPoint == point.Id())
                point.machine.Take(fill);
        }
        for (int nozzle = 1; nozzle <= static_cast<int>(point.config->nozzles.size()); ++nozzle) {
            auto& last = point.lastTotals.at(static_cast<std::size_t>(nozzle));
            last = services_.journal.Read(
                [&](Connection& db) { return LastTotal(db, point.Id(), nozzle); });
            if (last)
                services_.board.SetTotal(point.Id(), nozzle, *last);
        }
        for (std::size_t i = 0; i < point.config->nozzles.size(); ++i) {
            if (const auto grade = services_.board.GradeOf(point.config->nozzles[i]))
                point.prices.Want(static_cast<int>(i) + 1, grade->price);
        }
        services_.board.SetPoint(ViewOf(point));
    }
}

bool FuelPoints::Poll(std::size_t index) {
    Point& point = points_.at(index);
    const int nozzles = static_cast<int>(point.config->nozzles.size());
    const ControllerAdapter::Poll poll = controller_->PollPoint(point.Address(), nozzles);
    if (poll.heard != ControllerAdapter::Heard::Answer) {
        if (poll.heard == ControllerAdapter::Heard::Silence) {
            ++point.silentPolls;
            point.badPolls = 0;
        } else {
            ++point.badPolls;
        }
        PublishIfChanged(point);
        return point.silentPolls == 0;
    }
    point.answered = true;
    point.silentPolls = 0;
    point.badPolls = 0;
    // The readings at start give the reconciliation its first figures; a totaliser that
    // cannot be read is tried again at the next polls, a few times, and never holds up the
    // fills.
    if (!point.startReadingsTaken && point.readingAttempts < kStartReadingAttempts) {
        ++point.readingAttempts;
        try {
            ReadStartTotals(point);
        } catch (const std::exception&) {
        }
    }
    Drive(point, point.machine.Polled(WithPrices(point, poll.reading), Now()));
    SendWaitingPrices(point);
    PublishIfChanged(point);
    return true;
}

PollReading FuelPoints::WithPrices(const Point& point, PollReading reading) const {
    for (int nozzle = 1; nozzle <= static_cast<int>(point.config->nozzles.size()); ++nozzle)
        reading.prices[static_cast<std::size_t>(nozzle)] = PriceAt(point, nozzle);
    return reading;
}

// The price a fill at the nozzle runs at: its controller's (confirmed, else last sent), else
// for one that never had a price of ours (one that takes none) the grade's price in force.
double FuelPoints::PriceAt(const Point& point, int nozzle) const {
    if (const double price = point.prices.PriceOf(nozzle, *controller_, point.Address()); price > 0)
        return price;
    const auto grade =
        services_.board.GradeOf(point.config->nozzles.at(static_cast<std::size_t>(nozzle - 1)));
    return grade ? grade->price : 0;
}

void FuelPoints::Drive(Point& point, FillStep step) {
    for (;;) {
        // Write ahead: the journal holds a step before its command goes to the pump.
        if (step.entry && Record(point, *step.entry) != Committed::Changed)
            return;
        if (!step.command)
            return;
        step = point.machine.Answered(Carry(point, *step.command), Now());
    }
}

PumpAnswer FuelPoints::Carry(Point& point, const PumpCommand& command) {
    const int nozzle = command.nozzle;
    try {
        switch (command.kind) {
            case PumpCommand::Kind::ReadTotal: {
                const double total = ReadTotal(point, nozzle);
                return PumpAnswer::Total(total, PriceAt(point, nozzle));
            }
            case PumpCommand::Kind::ReadTotalAndVolume: {
                // The totaliser between two polls, so that the volume on show at the read is
                // known to within what flows during one exchange.
                const auto showing = [&]() -> double {
                    const ControllerAdapter::Poll poll = controller_->PollPoint(
                        point.Address(), static_cast<int>(point.config->nozzles.size()));
                    return poll.heard == ControllerAdapter::Heard::Answer
                               ? poll.reading.volumes.at(static_cast<std::size_t>(nozzle))
                               : -1;
                };
                const double before = showing();
                const double total = ReadTotal(point, nozzle);
                const double after = showing();
                return PumpAnswer::TotalAndVolume(total, PriceAt(point, nozzle),
                                                  after < 0 ? 0 : after, after < 0 ? -1 : before);
            }
            case PumpCommand::Kind::PrepareStart: {
                // The price the fill runs at is the one the controller confirmed; a price
                // still waiting for this nozzle goes out first, so that the fill runs at it.
                const double total = ReadTotal(point, nozzle);
                if (point.prices.Waiting(nozzle))
                    point.prices.Send(nozzle, *controller_, point.Address(), point.Id());
                return PumpAnswer::Total(total, PriceAt(point, nozzle));
            }
            case PumpCommand::Kind::Start:
                controller_->Start(point.Address(), nozzle, command.preset);
                return PumpAnswer::Done();
            case PumpCommand::Kind::ReadFinal: {
                const auto final = controller_->ReadFinal(point.Address(), nozzle, command.price);
                if (!final)
                    return PumpAnswer::Failed();
                return PumpAnswer::Final(final->volume, final->amount);
            }
        }
    } catch (const Exception&) {
        // No answer: the machine takes it up again at the next poll.
    }
    return PumpAnswer::Failed();
}

double FuelPoints::ReadTotal(Point& point, int nozzle) {
    const double total = controller_->ReadTotal(point.Address(), nozzle);
    std::optional<TotalReading>& last = point.lastTotals.at(static_cast<std::size_t>(nozzle));
    if (last && total < last->volume - FillMachine::kNoFuel) {
        try {
            TotaliserWentBack(point, nozzle, last->volume, total);
        } catch (const std::exception&) {
            return total;  // not written down: told at the next reading
        }
    }
    last = TotalReading{total, Now()};
    services_.board.SetTotal(point.Id(), nozzle, *last);
    return total;
}

std::optional<FuelPoints::Reading> FuelPoints::ReadAgain(Point& point, int nozzle) {
    const std::optional<TotalReading> before =
        point.lastTotals.at(static_cast<std::size_t>(nozzle));
    const double total = ReadTotal(point, nozzle);
    // Unchanged, it says nothing new; gone back, its reading is already the new baseline.
    if (before && std::fabs(total - before->volume) < FillMachine::kNoFuel)
        return std::nullopt;
    if (before && total < before->volume)
        return std::nullopt;
    return Reading{nozzle, total};
}

void FuelPoints::Keep(const Point& point, const std::vector<Reading>& readings,
                      std::string_view source) {
    if (readings.empty())
        return;
    const Time at = Now();
    const int id = point.Id();
    services_.journal
        .Write([&](WriteTransaction& t) {
            for (const Reading& reading : readings)
                InsertReading(t.Db(), id, reading.nozzle, reading.volume, at, source);
        })
        .get();
}

// The totalisers a client asked for that are older than a few seconds: one nozzle at a
// time, after the cycle's polls and the commands (a stop never waits for a reading), never
// one in a fill (its totaliser is on the move, and the fill's own figures will say it).
bool FuelPoints::Refresh(int fuelPoint, std::chrono::seconds fresh) {
    Point* point = Find(fuelPoint);
    if (point == nullptr || StateOf(*point) == FuelPointState::Offline ||
        StateOf(*point) == FuelPointState::Error) {
        return true;
    }
    const Time now = Now();
    for (int nozzle = 1; nozzle <= static_cast<int>(point->config->nozzles.size()); ++nozzle) {
        const auto& last = point->lastTotals.at(static_cast<std::size_t>(nozzle));
        if (point->machine.Busy(nozzle) || (last && now - last->at < fresh))
            continue;
        try {
            if (const auto changed = ReadAgain(*point, nozzle))
                Keep(*point, {*changed}, "read");
        } catch (const std::exception&) {
            return true;  // no answer, or the journal: the next client asks again
        }
        return false;
    }
    return true;
}

// A totaliser lower than before: the controller was replaced or reset. People are told, and
// the reading is a new baseline for the reconciliation.
void FuelPoints::TotaliserWentBack(Point& point, int nozzle, double before, double after) {
    const Time at = Now();
    const int id = point.Id();
    services_.journal
        .Write([&](WriteTransaction& t) {
            InsertReading(t.Db(), id, nozzle, after, at, "reset");
            t.AppendEvent(event_type::kAlarm,
                          AlarmData(alarm_kind::kTotaliserReset, id,
                                    "the totaliser of fuel point " + std::to_string(id) +
                                        " nozzle " + std::to_string(nozzle) + " went back from " +
                                        FormatVolume(before) + " to " + FormatVolume(after) +
                                        " litres: was its controller replaced or reset?",
                                    {{"nozzle", nozzle}, {"before", before}, {"after", after}}),
                          at);
        })
        .get();
}

// What the totalisers say at start, kept where it differs from what the journal last knew:
// a fill nobody saw while we were down shows up to the reconciliation as that difference.
void FuelPoints::ReadStartTotals(Point& point) {
    std::vector<Reading> changed;
    for (int nozzle = 1; nozzle <= static_cast<int>(point.config->nozzles.size()); ++nozzle) {
        if (auto reading = ReadAgain(point, nozzle))
            changed.push_back(*reading);
    }
    Keep(point, changed, "start");
    point.startReadingsTaken = true;
}

void FuelPoints::SendWaitingPrices(Point& point) {
    for (int nozzle = 1; nozzle <= static_cast<int>(point.config->nozzles.size()); ++nozzle) {
        if (point.machine.Autonomous())
            point.prices.Forget(nozzle);
        else if (point.prices.Waiting(nozzle) && !point.machine.Busy(nozzle))
            point.prices.Send(nozzle, *controller_, point.Address(), point.Id());
    }
}

FuelPoints::Committed FuelPoints::Commit(Point& point, Change change) {
    Point next = point;
    Board& board = services_.board;
    std::optional<FuelPointView> view;
    try {
        const bool changed =
            services_.journal
                .Write([&](WriteTransaction& t) {
                    if (!change(t, next))
                        return false;
                    view = ViewOf(next);
                    t.AppendEvent(event_type::kFuelPoint, ToJson(*view), Now());
                    t.AfterCommit([&board, shown = *view] { board.SetPoint(shown); });
                    return true;
                })
                .get();
        if (!changed)
            return Committed::Unchanged;
    } catch (const std::exception&) {
        // Nothing was done at the pump that the journal does not show.
        return Committed::Failed;
    }
    next.published = std::move(view);
    point = std::move(next);
    return Committed::Changed;
}

FuelPoints::Committed FuelPoints::Record(Point& point, const FillEntry& entry) {
    return Commit(point, [&](WriteTransaction& t, Point& next) {
        WriteEntry(t, point, next, entry);
        return true;
    });
}

// What a fill's step leaves in the journal: the fill's row, and the event of a fill that
// ended (a sale, or a cancelled fill with the reason).
void FuelPoints::WriteEntry(WriteTransaction& t, const Point& point, Point& next,
                            const FillEntry& entry) {
    Connection& db = t.Db();
    if (entry.kind == FillEntry::Kind::StartedAtThePump) {
        FillEntry seen = entry;
        seen.id = InsertAtThePump(db, point.Id(), entry.nozzle, entry.grade, entry.price,
                                  entry.total, entry.at);
        next.machine.Apply(seen);
        if (point.config->release != Origin::Pump) {
            t.AppendEvent(event_type::kAlarm,
                          AlarmData(alarm_kind::kUnauthorisedFill, point.Id(),
                                    "a fill nobody authorised runs at fuel point " +
                                        std::to_string(point.Id()) + " nozzle " +
                                        std::to_string(entry.nozzle),
                                    {{"nozzle", entry.nozzle}, {"sale", seen.id}}),
                          entry.at);
        }
        return;
    }
    next.machine.Apply(entry);
    switch (entry.kind) {
        case FillEntry::Kind::StartedAtThePump:
            return;
        case FillEntry::Kind::Started:
            MarkStarted(db, entry.id, entry.nozzle, entry.grade, entry.price, entry.total,
                        entry.at);
            return;
        case FillEntry::Kind::Unstarted:
            MarkUnstarted(db, entry.id);
            return;
        case FillEntry::Kind::Cancelled: {
            MarkCancelled(db, entry.id, entry.reason, entry.at);
            nlohmann::json data = ToJson(*point.machine.View());
            data["reason"] = entry.reason;
            data["fuelPoint"] = point.Id();
            t.AppendEvent(event_type::kFillCancelled, std::move(data), entry.at);
            return;
        }
        case FillEntry::Kind::Ended: {
            const Sale sale = MarkEnded(
                db, entry.id,
                {entry.volume, entry.amount, entry.amountComputed, entry.total, entry.totalBefore},
                entry.at);
            t.AppendEvent(event_type::kSale, ToJson(sale), entry.at);
            Board& board = services_.board;
            t.AfterCommit([&board, fuelPoint = point.Id()] { board.AddUncleared(fuelPoint, 1); });
            return;
        }
    }
}

FuelPointState FuelPoints::StateOf(const Point& point) const {
    if (point.badPolls >= kBadPollsError)
        return FuelPointState::Error;
    if (!point.answered || point.silentPolls >= kSilentPollsOffline)
        return FuelPointState::Offline;
    if (const auto& fill = point.machine.Fill()) {
        return fill->state == FillState::Fuelling ? FuelPointState::Fuelling
                                                  : FuelPointState::Authorised;
    }
    if (point.machine.Unauthorised())
        return FuelPointState::Fuelling;
    if (point.closed)
        return FuelPointState::Closed;
    return point.machine.AnyCalling() ? FuelPointState::Calling : FuelPointState::Idle;
}

FuelPointView FuelPoints::ViewOf(const Point& point) const {
    FuelPointView view;
    view.id = point.Id();
    view.line = line_.name;
    view.address = point.Address();
    view.state = StateOf(point);
    view.closed = point.closed;
    view.saleBuffer = point.config->saleBuffer;
    view.release = point.config->release;
    for (std::size_t i = 0; i < point.config->nozzles.size(); ++i) {
        const int number = static_cast<int>(i) + 1;
        view.nozzles.push_back({number, point.config->nozzles[i], point.prices.Confirmed(number),
                                point.machine.Autonomous()});
    }
    view.fill = point.machine.View();
    return view;
}

// A state change goes through the journal as an event; the fill's running volume and amount
// only to the board and the live subscribers.
void FuelPoints::PublishIfChanged(Point& point) {
    FuelPointView view = ViewOf(point);
    if (point.published) {
        const FuelPointView& last = *point.published;
        const bool sameFill = last.fill.has_value() == view.fill.has_value() &&
                              (!view.fill || (last.fill->id == view.fill->id &&
                                              last.fill->state == view.fill->state &&
                                              last.fill->nozzle == view.fill->nozzle));
        bool samePrices = last.nozzles.size() == view.nozzles.size();
        for (std::size_t i = 0; samePrices && i < view.nozzles.size(); ++i)
            samePrices = last.nozzles[i].price == view.nozzles[i].price &&
                         last.nozzles[i].takesNoPrice == view.nozzles[i].takesNoPrice;
        if (last.state == view.state && last.closed == view.closed && sameFill && samePrices) {
            if (view.fill && (view.fill->volume != last.fill->volume ||
                              view.fill->amount != last.fill->amount)) {
                services_.board.SetPoint(view);
                point.published = view;
                services_.publisher.PublishLive(
                    Event{0, std::string(event_type::kFillProgress), Now(), ToJson(view)});
            }
            return;
        }
    }
    Commit(point, [](WriteTransaction&, Point&) { return true; });
}

FuelPoints::Point* FuelPoints::Find(int fuelPoint) {
    for (Point& point : points_) {
        if (point.Id() == fuelPoint)
            return &point;
    }
    return nullptr;
}

}  // namespace fuel::forecourt
