#include "forecourt/FillMachine.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "driver/DriverTables.h"

namespace fuel::forecourt {
namespace {

std::uint8_t Running(int nozzle) {
    return static_cast<std::uint8_t>(status_code::kFillRunning + nozzle);
}

std::uint8_t Calling(int nozzle) {
    return static_cast<std::uint8_t>(status_code::kWaiting + nozzle);
}

}  // namespace

double Money(double value) {
    return std::round(value * 100) / 100;
}

FillMachine::FillMachine(std::vector<std::string> grades) : grades_(std::move(grades)) {}

bool FillMachine::Busy(int nozzle) const {
    return (fill_ && fill_->state == FillState::Fuelling && fill_->nozzle == nozzle) ||
           (atThePump_ && atThePump_->nozzle == nozzle);
}

int FillMachine::RunningNozzle() const {
    if (fill_ && fill_->nozzle != 0)
        return fill_->nozzle;
    return atThePump_ ? atThePump_->nozzle : 0;
}

bool FillMachine::AnyCalling() const {
    for (int nozzle = 1; nozzle <= static_cast<int>(grades_.size()); ++nozzle) {
        if (Code(nozzle) == Calling(nozzle))
            return true;
    }
    return false;
}

std::optional<FillView> FillMachine::View() const {
    FillView view;
    if (fill_) {
        view.id = fill_->id;
        view.state = fill_->state;
        view.authorised = fill_->origin == Origin::Api;
        view.preset = fill_->preset;
        view.grades = fill_->grades;
        view.prepaid = fill_->prepaid;
        view.authorisedBy = fill_->authorisedBy;
        view.nozzle = fill_->nozzle;
        view.grade = fill_->grade;
        view.price = fill_->price;
        view.volume = volume_;
        view.amount = amount_;
        view.authorisedAt = fill_->authorisedAt;
        view.startedAt = fill_->startedAt;
        return view;
    }
    if (atThePump_) {
        view.state = FillState::Fuelling;
        view.authorised = false;
        view.nozzle = atThePump_->nozzle;
        view.grade = GradeOf(atThePump_->nozzle);
        view.price = atThePump_->price;
        view.volume = atThePump_->volume;
        view.amount = atThePump_->amount;
        view.startedAt = atThePump_->since;
        return view;
    }
    return std::nullopt;
}

void FillMachine::Take(OpenFill fill) {
    fill_ = std::move(fill);
    volume_ = amount_ = 0;
    seenRunning_ = false;
    pollsWaiting_ = 0;
    stillPolls_ = 0;
    startEstimated_ = fill_->origin == Origin::Pump;
}

FillStep FillMachine::Polled(const PollReading& poll, Time now) {
    havePrevious_ = ++polls_ > 1;
    previousVolumes_ = poll_.volumes;
    poll_ = poll;
    return poll_.autonomous ? EvaluateAutonomous(now) : Evaluate(now);
}

FillStep FillMachine::Reconsider(Time now) {
    return poll_.autonomous ? FillStep{} : Evaluate(now);
}

FillStep FillMachine::Evaluate(Time now) {
    asked_ = Asked::Nothing;
    const int nozzles = static_cast<int>(grades_.size());
    int running = 0;
    for (int nozzle = 1; nozzle <= nozzles && running == 0; ++nozzle) {
        if (Code(nozzle) == Running(nozzle))
            running = nozzle;
    }
    if (Authorised()) {
        // A nozzle that runs while our authorisation waits was started from the pump's side
        // of it (a controller that starts a lifted nozzle by itself once released): ours.
        if (running != 0)
            return Ask(Asked::AdoptTotal, {PumpCommand::Kind::ReadTotal, running, {}, 0});
        const auto& allowed = fill_->grades;
        for (int nozzle = 1; nozzle <= nozzles; ++nozzle) {
            if (Code(nozzle) != Calling(nozzle))
                continue;
            if (allowed.empty() ||
                std::find(allowed.begin(), allowed.end(), GradeOf(nozzle)) != allowed.end()) {
                return Ask(Asked::StartTotal, {PumpCommand::Kind::PrepareStart, nozzle, {}, 0});
            }
        }
        return {};
    }
    if (fill_) {
        const int nozzle = fill_->nozzle;
        if (Code(nozzle) == Running(nozzle)) {
            seenRunning_ = true;
            pollsWaiting_ = 0;
            volume_ = VolumeAt(nozzle);
            amount_ = Money(volume_ * fill_->price);
            return {};
        }
        // Calling without ever running: either the start has not taken yet, or the fill ran
        // and ended between two polls (or while we were down) and the next customer lifts
        // the nozzle already. The totaliser tells which.
        if (!seenRunning_ && Code(nozzle) == Calling(nozzle) && ++pollsWaiting_ < kStartPolls)
            return {};
        return Settle();
    }
    if (running != 0)
        return FollowAtThePump(running, now);
    return WriteDownAtThePump();
}

// A controller that keeps no status of its own and takes no start: a nozzle whose volume
// rises is dispensing, whatever the driver's bookkeeping says.
// A volume that has stood still for a few polls is a fill that is over, and one that fell
// is the next fill begun. The first poll only tells where the volumes stand: the last fill's
// volume still showing is no fill.
FillStep FillMachine::EvaluateAutonomous(Time now) {
    asked_ = Asked::Nothing;
    if (fill_) {
        const int nozzle = fill_->nozzle;
        const auto n = static_cast<std::size_t>(nozzle);
        // A fill taken over from the journal: its volume may be of a later fill by now. The
        // totaliser tells (see Answered).
        if (!havePrevious_)
            return Ask(Asked::AutonomousPlace,
                       {PumpCommand::Kind::ReadTotalAndVolume, nozzle, {}, 0});
        if (poll_.volumes[n] > previousVolumes_[n]) {
            seenRunning_ = true;
            stillPolls_ = 0;
            volume_ = poll_.volumes[n];
            amount_ = Money(volume_ * fill_->price);
            return {};
        }
        if (poll_.volumes[n] < previousVolumes_[n])
            return Ask(Asked::AutonomousNext,
                       {PumpCommand::Kind::ReadTotalAndVolume, nozzle, {}, 0});
        if (++stillPolls_ >= kStillPolls)
            return Ask(Asked::AutonomousEnd, {PumpCommand::Kind::ReadTotal, nozzle, {}, 0});
        return {};
    }
    if (!havePrevious_)
        return {};
    for (int nozzle = 1; nozzle <= static_cast<int>(grades_.size()); ++nozzle) {
        const auto n = static_cast<std::size_t>(nozzle);
        if (poll_.volumes[n] > previousVolumes_[n])
            return FollowAtThePump(nozzle, now);
    }
    return WriteDownAtThePump();
}

// The end of a fill of a controller that dispenses on its own, which keeps no figures of a
// fill but its volume on show and its totaliser. `showing` is the volume of a later fill
// that has begun since (0 when the fill's own volume still shows): what the totaliser grew
// by beyond it is the fill's.
FillStep FillMachine::EndAutonomous(double total, double showing, Time now) {
    FillEntry ended = Entry(FillEntry::Kind::Ended, now);
    ended.nozzle = fill_->nozzle;
    if (showing > 0) {
        ended.total = total - showing;
        ended.volume = Money(ended.total - fill_->totalBefore);
    } else {
        // Its own volume still shows: the controller's figure, and the start it implies.
        ended.total = total;
        ended.volume = VolumeAt(fill_->nozzle);
        ended.totalBefore = total - ended.volume;
    }
    if (ended.volume < kNoFuel) {
        FillEntry dry = Entry(FillEntry::Kind::Cancelled, now);
        dry.reason = "no fuel taken";
        return {dry, std::nullopt};
    }
    ended.amount = Money(ended.volume * fill_->price);
    ended.amountComputed = true;
    return {ended, std::nullopt};
}

// Followed until the journal holds it, and asked to be written down at every poll until
// then: its totaliser before is the one now less what has run.
FillStep FillMachine::FollowAtThePump(int nozzle, Time now) {
    if (!atThePump_ || atThePump_->nozzle != nozzle)
        atThePump_ = AtThePump{nozzle, 0, 0, 0, now};
    atThePump_->price = PriceAt(nozzle);
    atThePump_->volume = VolumeAt(nozzle);
    atThePump_->amount = Money(atThePump_->volume * atThePump_->price);
    return Ask(Asked::PumpTotal, {poll_.autonomous ? PumpCommand::Kind::ReadTotalAndVolume
                                                   : PumpCommand::Kind::ReadTotal,
                                  nozzle,
                                  {},
                                  0});
}

// Where the volume on show stood when the totaliser was read: halfway between the polls just
// before and just after, the flow being steady over an exchange. The cycle's own poll may lie
// well before the read on a busy host, so it stands in only when no poll bracketed it.
double FillMachine::ShowingAtTotal(const PumpAnswer& answer, int nozzle) const {
    const double before = answer.volumeBefore >= 0 ? answer.volumeBefore : VolumeAt(nozzle);
    return answer.volume >= before ? (before + answer.volume) / 2 : before;
}

// A fill at the pump that ended before the journal had it is still written down (and then
// settled like any other), with what was last seen of it.
FillStep FillMachine::WriteDownAtThePump() {
    if (!atThePump_)
        return {};
    return Ask(Asked::PumpTotal, {PumpCommand::Kind::ReadTotal, atThePump_->nozzle, {}, 0});
}

// A started fill whose nozzle no longer runs. The totaliser says whether fuel flowed since
// the start: that holds whether this process saw the fill run or was started again after a
// crash, before or after the start went out.
FillStep FillMachine::Settle() {
    return Ask(Asked::SettleTotal, {PumpCommand::Kind::ReadTotal, fill_->nozzle, {}, 0});
}

FillStep FillMachine::Ask(Asked asked, PumpCommand command) {
    asked_ = asked;
    askedNozzle_ = command.nozzle;
    return {std::nullopt, command};
}

FillEntry FillMachine::Entry(FillEntry::Kind kind, Time now) const {
    FillEntry entry;
    entry.kind = kind;
    entry.id = fill_ ? fill_->id : 0;
    entry.at = now;
    return entry;
}

FillStep FillMachine::Answered(const PumpAnswer& answer, Time now) {
    const Asked asked = std::exchange(asked_, Asked::Nothing);
    const int nozzle = askedNozzle_;
    if (asked == Asked::PumpTotal) {
        if (!answer.ok || !atThePump_ || fill_)
            return {};
        FillEntry seen;
        seen.kind = FillEntry::Kind::StartedAtThePump;
        seen.at = atThePump_->since;
        seen.nozzle = nozzle;
        seen.grade = GradeOf(nozzle);
        seen.price = answer.price;
        seen.running = true;
        seen.volume = atThePump_->volume;
        seen.amount = Money(seen.volume * answer.price);
        seen.total =
            answer.total - (poll_.autonomous ? ShowingAtTotal(answer, nozzle) : seen.volume);
        return {seen, std::nullopt};
    }
    if (!fill_)
        return {};
    switch (asked) {
        case Asked::Nothing:
        case Asked::PumpTotal:
            return {};
        case Asked::AutonomousPlace: {
            if (!answer.ok)
                return {};
            // The volume on show against what the totaliser grew by since the fill began:
            // well short of it, the fill ended while nobody watched and a later one shows.
            const double growth = answer.total - fill_->totalBefore;
            const double showing = ShowingAtTotal(answer, nozzle);
            previousVolumes_ = poll_.volumes;
            havePrevious_ = true;
            if (showing + kRecoveredSlack < growth) {
                // The fill on show began and may have ended while nobody watched: it is
                // written down as one at the pump once this one is ended, whether or not its
                // volume still rises, or its litres would be in no sale.
                FillStep ended = EndAutonomous(answer.total, showing, now);
                if (showing >= kNoFuel) {
                    const double price = PriceAt(nozzle);
                    atThePump_ = AtThePump{nozzle, showing, Money(showing * price), price, now};
                }
                return ended;
            }
            volume_ = showing;
            amount_ = Money(volume_ * fill_->price);
            return {};
        }
        case Asked::AutonomousEnd:
            return answer.ok ? EndAutonomous(answer.total, 0, now) : FillStep{};
        case Asked::AutonomousNext:
            return answer.ok ? EndAutonomous(answer.total, ShowingAtTotal(answer, nozzle), now)
                             : FillStep{};
        case Asked::StartTotal: {
            if (!answer.ok)
                return {};  // the totaliser did not answer: the next poll tries again
            FillEntry started = Entry(FillEntry::Kind::Started, now);
            started.nozzle = nozzle;
            started.grade = GradeOf(nozzle);
            started.price = answer.price;
            started.total = answer.total;
            asked_ = Asked::Start;
            askedNozzle_ = nozzle;
            return {started, PumpCommand{PumpCommand::Kind::Start, nozzle, fill_->preset, 0}};
        }
        case Asked::Start:
            // The start did not go out (or we cannot tell): authorised again, and the next
            // poll that finds the nozzle calling starts it anew.
            if (answer.ok)
                return {};
            return {Entry(FillEntry::Kind::Unstarted, now), std::nullopt};
        case Asked::AdoptTotal: {
            if (!answer.ok)
                return {};
            // Its totaliser before is the one now less what has run.
            FillEntry adopted = Entry(FillEntry::Kind::Started, now);
            adopted.nozzle = nozzle;
            adopted.grade = GradeOf(nozzle);
            adopted.price = answer.price;
            adopted.running = true;
            adopted.volume = VolumeAt(nozzle);
            adopted.amount = Money(adopted.volume * answer.price);
            adopted.total = answer.total - adopted.volume;
            return {adopted, std::nullopt};
        }
        case Asked::SettleTotal: {
            if (!answer.ok)
                return {};
            const double growth = answer.total - fill_->totalBefore;
            if (!seenRunning_ && growth < kNoFuel) {
                if (Code(nozzle) == Calling(nozzle))
                    return {Entry(FillEntry::Kind::Unstarted, now), std::nullopt};  // never took
                FillEntry dry = Entry(FillEntry::Kind::Cancelled, now);
                dry.reason = "no fuel taken";
                return {dry, std::nullopt};
            }
            settleTotal_ = answer.total;
            return Ask(Asked::SettleFinal,
                       {PumpCommand::Kind::ReadFinal, nozzle, {}, fill_->price});
        }
        case Asked::SettleFinal: {
            if (!answer.ok)
                return {};  // a garbled reply: read it again at the next poll
            const double growth = settleTotal_ - fill_->totalBefore;
            if (answer.volume <= 0 && growth < kNoFuel) {
                FillEntry dry = Entry(FillEntry::Kind::Cancelled, now);
                dry.reason = "no fuel taken";
                return {dry, std::nullopt};
            }
            FillEntry ended = Entry(FillEntry::Kind::Ended, now);
            ended.nozzle = nozzle;
            ended.volume = answer.volume;
            ended.amount = answer.amount;
            ended.total = settleTotal_;
            if (startEstimated_ && ended.volume > 0)
                ended.totalBefore = settleTotal_ - ended.volume;
            if (ended.amount <= 0 && ended.volume > 0) {
                // A controller that keeps no money: the volume at the price the fill ran at.
                ended.amount = Money(ended.volume * fill_->price);
                ended.amountComputed = true;
            }
            return {ended, std::nullopt};
        }
    }
    return {};
}

std::optional<FillEntry> FillMachine::Withdraw(std::string reason, Time now) const {
    if (!Authorised())
        return std::nullopt;
    FillEntry withdrawn = Entry(FillEntry::Kind::Cancelled, now);
    withdrawn.reason = std::move(reason);
    return withdrawn;
}

void FillMachine::Apply(const FillEntry& entry) {
    if (entry.kind == FillEntry::Kind::StartedAtThePump) {
        OpenFill seen;
        seen.id = entry.id;
        seen.state = FillState::Fuelling;
        seen.origin = Origin::Pump;
        seen.authorisedAt = entry.at;
        seen.nozzle = entry.nozzle;
        seen.grade = entry.grade;
        seen.price = entry.price;
        seen.totalBefore = entry.total;
        seen.startedAt = entry.at;
        fill_ = std::move(seen);
        atThePump_.reset();
        seenRunning_ = true;
        startEstimated_ = true;
        pollsWaiting_ = stillPolls_ = 0;
        volume_ = entry.volume;
        amount_ = entry.amount;
        return;
    }
    if (!fill_ || entry.id != fill_->id)
        return;
    switch (entry.kind) {
        case FillEntry::Kind::StartedAtThePump:
            return;
        case FillEntry::Kind::Started:
            fill_->state = FillState::Fuelling;
            fill_->nozzle = entry.nozzle;
            fill_->grade = entry.grade;
            fill_->price = entry.price;
            fill_->totalBefore = entry.total;
            fill_->startedAt = entry.at;
            seenRunning_ = entry.running;
            startEstimated_ = entry.running;
            pollsWaiting_ = 0;
            volume_ = entry.volume;
            amount_ = entry.amount;
            return;
        case FillEntry::Kind::Unstarted:
            fill_->state = FillState::Authorised;
            fill_->nozzle = 0;
            fill_->grade.clear();
            fill_->price = 0;
            fill_->totalBefore = 0;
            fill_->startedAt.reset();
            seenRunning_ = false;
            pollsWaiting_ = 0;
            volume_ = amount_ = 0;
            return;
        case FillEntry::Kind::Cancelled:
        case FillEntry::Kind::Ended:
            fill_.reset();
            seenRunning_ = false;
            pollsWaiting_ = 0;
            volume_ = amount_ = 0;
            return;
    }
}

}  // namespace fuel::forecourt
