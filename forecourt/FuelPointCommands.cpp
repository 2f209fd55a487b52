// The commands for a line's fuel points, as its loop runs them between two polls. Each one
// that changes something is idempotent: its outcome is stored under the caller's key in the
// same transaction as the change, and the key again answers that outcome.
#include <algorithm>

#include "driver/Exceptions.h"
#include "forecourt/Board.h"
#include "forecourt/ControllerAdapter.h"
#include "forecourt/FuelPoints.h"
#include "forecourt/Requests.h"
#include "forecourt/Store.h"

namespace fuel::forecourt {
namespace {

Time Now() {
    return std::chrono::system_clock::now();
}

nlohmann::json AuthoriseRequestJson(const AuthoriseRequest& request) {
    return {{"operation", "authorise"},
            {"fuelPoint", request.fuelPoint},
            {"preset", ToJson(request.preset)},
            {"grades", request.grades},
            {"prepaid", request.prepaid}};
}

Outcome JournalFailed(std::string_view what) {
    return Outcome::Failure(Status::Unavailable, reason::kJournalFailed, std::string(what));
}

Outcome NoFuelPoint(int id) {
    return Outcome::Failure(Status::NotFound, reason::kNoFuelPoint,
                            "there is no fuel point " + std::to_string(id));
}

std::string Named(int fuelPoint) {
    return "fuel point " + std::to_string(fuelPoint);
}

}  // namespace

std::optional<Outcome> FuelPoints::RecallOrReserve(const RequestRecord& record) {
    return services_.journal
        .Write([&](WriteTransaction& t) -> std::optional<Outcome> {
            if (auto recalled = Recall(t.Db(), record))
                return recalled;
            Reserve(t.Db(), record, Now());
            return std::nullopt;
        })
        .get();
}

Outcome FuelPoints::Finish(const RequestRecord& record, Outcome outcome) {
    try {
        services_.journal
            .Write([&](WriteTransaction& t) { Remember(t.Db(), record, outcome, Now()); })
            .get();
    } catch (const std::exception&) {
        // Not stored: the reservation is given up, so that a retry is carried out (a stop
        // again is harmless) rather than told the request is still in progress.
        services_.journal.Post([record](WriteTransaction& t) { Release(t.Db(), record); },
                               [](std::exception_ptr) {});
        throw;
    }
    return outcome;
}

FuelPoints::Committed FuelPoints::Withdraw(Point& point, const std::string& why,
                                           const RequestRecord* request, Outcome* outcome) {
    const std::optional<FillEntry> entry = point.machine.Withdraw(why, Now());
    if (!entry)
        return Committed::Unchanged;
    return Commit(point, [&](WriteTransaction& t, Point& next) {
        if (request != nullptr) {
            if (auto recalled = Recall(t.Db(), *request)) {
                *outcome = *recalled;
                return false;
            }
        }
        WriteEntry(t, point, next, *entry);
        if (request != nullptr) {
            *outcome = Outcome::Success(ToJson(ViewOf(next)));
            Remember(t.Db(), *request, *outcome, entry->at);
        }
        return true;
    });
}

Outcome FuelPoints::Authorise(const AuthoriseRequest& request, const Caller& caller) {
    Point* point = Find(request.fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(request.fuelPoint);
    const RequestRecord record{caller, AuthoriseRequestJson(request)};
    std::optional<Outcome> refusal;
    const FuelPointState state = StateOf(*point);
    if (state == FuelPointState::Offline || state == FuelPointState::Error) {
        refusal = Outcome::Failure(
            Status::Refused, reason::kOffline,
            Named(request.fuelPoint) + " is " + std::string(forecourt::Name(state)));
    } else if (point->closed) {
        refusal = Outcome::Failure(Status::Refused, reason::kClosed,
                                   Named(request.fuelPoint) + " is closed");
    } else if (point->machine.Autonomous()) {
        refusal = Outcome::Failure(Status::Refused, reason::kAutonomous,
                                   "the controller of " + Named(request.fuelPoint) +
                                       " dispenses on its own and takes no release");
    } else if (!point->machine.Quiet()) {
        refusal = Outcome::Failure(
            Status::Refused, reason::kBusy,
            Named(request.fuelPoint) + " is " + std::string(forecourt::Name(state)));
    }
    const Time at = Now();
    Outcome outcome;
    const int buffer = point->config->saleBuffer;
    const Committed committed = Commit(*point, [&](WriteTransaction& t, Point& next) {
        if (auto recalled = Recall(t.Db(), record)) {
            outcome = *recalled;
            return false;
        }
        if (!refusal && UnclearedSales(t.Db(), request.fuelPoint) >= buffer) {
            refusal = Outcome::Failure(Status::Refused, reason::kBufferFull,
                                       Named(request.fuelPoint) + " holds " +
                                           std::to_string(buffer) + " sales not yet paid");
        }
        if (refusal) {
            outcome = *refusal;
            Remember(t.Db(), record, outcome, at);
            return false;
        }
        OpenFill fill;
        fill.fuelPoint = request.fuelPoint;
        fill.state = FillState::Authorised;
        fill.preset = request.preset;
        fill.grades = request.grades;
        fill.prepaid = request.prepaid;
        fill.authorisedBy = caller.client;
        fill.authorisedAt = at;
        fill.id = InsertAuthorised(t.Db(), request.fuelPoint, request.preset, request.grades,
                                   request.prepaid, caller.client, at);
        next.machine.Take(std::move(fill));
        outcome = Outcome::Success(ToJson(ViewOf(next)));
        Remember(t.Db(), record, outcome, at);
        return true;
    });
    if (committed == Committed::Failed) {
        if (const auto failure = services_.journal.Failure()) {
            return Outcome::Failure(Status::Unavailable, reason::kJournalFailing,
                                    "the journal cannot write now (" + failure->error +
                                        "): nothing new is authorised until it can");
        }
        return JournalFailed("the journal cannot record the authorisation");
    }
    if (committed == Committed::Unchanged)
        return outcome;
    if (authorised_)
        authorised_(point->Address());
    // A nozzle already calling starts at once, not at the next poll.
    Drive(*point, point->machine.Reconsider(Now()));
    PublishIfChanged(*point);
    return outcome;
}

Outcome FuelPoints::StopFill(int fuelPoint, const Caller& caller) {
    Point* point = Find(fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(fuelPoint);
    const RequestRecord record{caller, {{"operation", "stop"}, {"fuelPoint", fuelPoint}}};
    try {
        if (point->machine.Authorised()) {
            Outcome outcome;
            if (Withdraw(*point, "withdrawn", &record, &outcome) == Committed::Failed)
                return JournalFailed("the journal cannot record the stop");
            return outcome;
        }
        if (auto recalled = RecallOrReserve(record))
            return *recalled;
        const int nozzle = point->machine.RunningNozzle();
        if (nozzle == 0) {
            return Finish(record, Outcome::Failure(Status::Refused, reason::kNothingToStop,
                                                   Named(fuelPoint) + " has no fill to stop"));
        }
        try {
            controller_->Stop(point->Address(), nozzle);
        } catch (const Exception& error) {
            return Finish(record, Outcome::Failure(Status::LineFailed, reason::kNoAnswer,
                                                   Named(fuelPoint) + ": " + error.Message()));
        }
        return Finish(record, Outcome::Success(ToJson(ViewOf(*point))));
    } catch (const std::exception& error) {
        return JournalFailed(std::string("the journal cannot record: ") + error.what());
    }
}

std::vector<int> FuelPoints::StopEverything() {
    std::vector<int> stopped;
    for (Point& point : points_) {
        bool acted = false;
        if (point.machine.Authorised()) {
            acted = Withdraw(point, "emergency stop", nullptr, nullptr) != Committed::Failed;
        } else if (const int nozzle = point.machine.RunningNozzle(); nozzle != 0) {
            try {
                controller_->Stop(point.Address(), nozzle);
                acted = true;
            } catch (const Exception&) {
                // Not stopped: the id is left out, which the caller reports.
            }
        }
        if (acted)
            stopped.push_back(point.Id());
    }
    return stopped;
}

Outcome FuelPoints::SetClosed(int fuelPoint, bool closed, const Caller& caller) {
    Point* point = Find(fuelPoint);
    if (point == nullptr)
        return NoFuelPoint(fuelPoint);
    const RequestRecord record{
        caller, {{"operation", closed ? "close" : "open"}, {"fuelPoint", fuelPoint}}};
    // Closing withdraws an authorisation that waits for its nozzle; a fill that runs goes on.
    const std::optional<FillEntry> withdrawal =
        closed ? point->machine.Withdraw("closed", Now()) : std::nullopt;
    const Time at = Now();
    Outcome outcome;
    const Committed committed = Commit(*point, [&](WriteTransaction& t, Point& next) {
        if (auto recalled = Recall(t.Db(), record)) {
            outcome = *recalled;
            return false;
        }
        forecourt::SetClosed(t.Db(), fuelPoint, closed);
        next.closed = closed;
        if (withdrawal)
            WriteEntry(t, *point, next, *withdrawal);
        outcome = Outcome::Success(ToJson(ViewOf(next)));
        Remember(t.Db(), record, outcome, at);
        return true;
    });
    if (committed == Committed::Failed)
        return JournalFailed("the journal cannot record it");
    return outcome;
}

nlohmann::json FuelPoints::ApplyPrice(const std::string& grade, double price) {
    nlohmann::json report = nlohmann::json::array();
    for (Point& point : points_) {
        for (std::size_t i = 0; i < point.config->nozzles.size(); ++i) {
            if (point.config->nozzles[i] != grade)
                continue;
            const int nozzle = static_cast<int>(i) + 1;
            if (point.machine.Autonomous()) {
                report.push_back(NozzlePrices::TakesNoPrice(point.Id(), nozzle));
                continue;
            }
            point.prices.Want(nozzle, price);
            if (point.machine.Busy(nozzle)) {
                report.push_back(
                    NozzlePrices::ReportEntry(point.Id(), nozzle, false, true, nullptr));
            } else {
                report.push_back(
                    point.prices.Send(nozzle, *controller_, point.Address(), point.Id()));
            }
        }
        PublishIfChanged(point);
    }
    return report;
}

}  // namespace fuel::forecourt
