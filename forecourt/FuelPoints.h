// One line's fuel points, on the line's loop thread: each one polled in turn, its fill's
// rules (FillMachine) driven with what its controller answers, every change written to the
// journal before anyone is told, and the fuel point's view published. The commands for the
// line's fuel points (authorise, stop, close, prices, totals) run here too, between two
// polls, so that nothing else ever touches the line.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forecourt/Config.h"
#include "forecourt/FillMachine.h"
#include "forecourt/Forecourt.h"
#include "forecourt/Journal.h"
#include "forecourt/NozzlePrices.h"
#include "forecourt/Outcome.h"

namespace fuel::forecourt {

class Board;
class ControllerAdapter;
class Publisher;
struct RequestRecord;

class FuelPoints {
  public:
    // What the line's fuel points share with the rest of the forecourt.
    struct Services {
        const Config& config;
        Journal& journal;
        Publisher& publisher;
        Board& board;
    };
    // What the journal says of the line's fuel points at start.
    struct Recovered {
        std::vector<OpenFill> fills;
        std::map<int, bool> closed;
    };

    FuelPoints(Services services, const LineConfig& line);

    bool Owns(int fuelPoint) const;
    std::vector<int> Ids() const;
    std::size_t Count() const { return points_.size(); }
    // No fill anywhere on the line, ours or at the pump.
    bool Quiet() const;

    // ---- On the loop's thread.
    // Takes the controllers and what the journal recovered, before the first poll.
    // `authorised` is told of each fuel point released (by its address).
    void Begin(ControllerAdapter& controller, Recovered recovered,
               std::function<void(int address)> authorised);
    // Polls the fuel point at that place in the line and acts on what it says; true when
    // its controller answered something, sense or not (the line is up).
    bool Poll(std::size_t index);

    // The commands (FuelPointCommands.cpp).
    Outcome Authorise(const AuthoriseRequest& request, const Caller& caller);
    // Stops the fuel point's fill, or withdraws its authorisation before the start.
    Outcome StopFill(int fuelPoint, const Caller& caller);
    Outcome SetClosed(int fuelPoint, bool closed, const Caller& caller);
    // Stops every fill and withdraws every authorisation; the ids of the fuel points it
    // stopped or withdrew.
    std::vector<int> StopEverything();
    // The grade's price on each of this line's nozzles of the grade: one report entry each.
    nlohmann::json ApplyPrice(const std::string& grade, double price);
    // Reads one of the fuel point's totalisers that is older than `fresh`, if any; true when
    // there is none left to read (or the controller cannot be read now).
    bool Refresh(int fuelPoint, std::chrono::seconds fresh);

  private:
    struct Point {
        explicit Point(const FuelPointConfig& c)
            : config(&c), machine(c.nozzles), prices(c.nozzles.size()) {}

        const FuelPointConfig* config = nullptr;
        FillMachine machine;
        NozzlePrices prices;
        bool closed = false;
        bool answered = false;            // the controller has answered since the start
        bool startReadingsTaken = false;  // the start's totaliser readings are in the journal
        int readingAttempts = 0;
        int silentPolls = 0;
        int badPolls = 0;
        // Each nozzle's totaliser as last known (the journal's, then each reading): one that
        // reads lower was replaced or reset.
        std::array<std::optional<TotalReading>, 7> lastTotals{};
        std::optional<FuelPointView> published;  // as the journal's last fuel-point event has it

        int Id() const { return config->id; }
        int Address() const { return config->address; }
    };
    // Writes a change of the point in one journal job: `change` works on a copy of the point
    // (`next`) and on the transaction; when it returns true the copy's view goes out as a
    // fuel-point event and onto the board, and the copy becomes the point. A change that
    // returns false, or a journal that fails, leaves the point as it was.
    enum class Committed { Changed, Unchanged, Failed };
    using Change = std::function<bool(WriteTransaction&, Point& next)>;
    Committed Commit(Point& point, Change change);
    // A fill step's entry, alone in its change.
    Committed Record(Point& point, const FillEntry& entry);
    // Inside a change: the entry's rows and events, and the machine of `next` taking it.
    void WriteEntry(WriteTransaction& t, const Point& point, Point& next, const FillEntry& entry);

    // Carries the machine's steps out until one asks for nothing.
    void Drive(Point& point, FillStep step);
    PumpAnswer Carry(Point& point, const PumpCommand& command);
    void SendWaitingPrices(Point& point);
    void ReadStartTotals(Point& point, const PollReading& poll);
    // Every totaliser reading goes through here, so that one that went back is told, and the
    // board shows each one.
    double ReadTotal(Point& point, int nozzle);
    struct Reading {
        int nozzle = 0;
        double volume = 0;
    };
    // A reading that says something new (nullopt: the same as the last one known).
    std::optional<Reading> ReadAgain(Point& point, int nozzle);
    void Keep(const Point& point, const std::vector<Reading>& readings, std::string_view source);
    void TotaliserWentBack(Point& point, int nozzle, double before, double after);
    PollReading WithPrices(const Point& point, PollReading reading) const;
    double PriceAt(const Point& point, int nozzle) const;

    FuelPointView ViewOf(const Point& point) const;
    FuelPointState StateOf(const Point& point) const;
    void PublishIfChanged(Point& point);
    Point* Find(int fuelPoint);

    // Idempotency (FuelPointCommands.cpp): the outcome the key already has, or the key
    // reserved for this request; then the outcome stored under it.
    std::optional<Outcome> RecallOrReserve(const RequestRecord& record);
    Outcome Finish(const RequestRecord& record, Outcome outcome);
    // Withdraws the point's authorisation in the journal (with the request, when one asked).
    Committed Withdraw(Point& point, const std::string& why, const RequestRecord* request,
                       Outcome* outcome);

    Services services_;
    const LineConfig& line_;
    std::vector<Point> points_;
    ControllerAdapter* controller_ = nullptr;
    std::function<void(int)> authorised_;
};

}  // namespace fuel::forecourt
