// One line's poll loop: its own thread, its own driver object over its own link, the fuel
// points on the line. It polls them one after the other without pause, keeps each one's
// state and fill, starts an authorised fill when a nozzle is lifted, settles a fill that has
// ended into a sale, and runs the commands queued for its fuel points between two polls.
// Nothing outside this thread touches the driver or the link.
//
// Write ahead: what the loop is about to do at a pump is in the journal before it is done
// (a fill is marked started, with the nozzle's totaliser, before the start goes out), and
// what a pump did is in the journal before anyone is told. After a crash the journal and the
// controllers' own figures (the totaliser read before the start against the one now) say
// which fills ran; see Settle in Loop.cpp.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "forecourt/Board.h"
#include "forecourt/Forecourt.h"
#include "forecourt/Journal.h"
#include "forecourt/Lines.h"
#include "forecourt/Publisher.h"
#include "forecourt/Requests.h"
#include "forecourt/Store.h"

namespace fuel {
class TVM30;
}

namespace fuel::forecourt {

class Loop {
  public:
    struct Shared {
        const Config& config;
        const Options& options;
        Journal& journal;
        Publisher& publisher;
        Board& board;
    };
    // What the journal says of this line's fuel points at start.
    struct Recovered {
        std::vector<OpenFill> fills;
        std::map<int, bool> closed;
    };

    Loop(Shared shared, const LineConfig& line, OpenedLine opened);
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    const std::string& Name() const { return line_.name; }
    bool Owns(int fuelPoint) const;
    // Starts the thread; the future is ready when the first cycle (recovery) is over.
    std::future<void> Start(Recovered recovered);
    // Runs what is queued, then stops the thread.
    void Stop();
    // Queues work for the loop's thread; false when the loop is not running.
    bool Post(std::function<void()> work);

    // ---- On the loop's thread only (inside Post).
    Outcome Authorise(const AuthoriseRequest& request, const Caller& caller);
    Outcome Stop(int fuelPoint, const Caller& caller);
    Outcome SetClosed(int fuelPoint, bool closed, const Caller& caller);
    // Stops every fill and withdraws every authorisation; the ids of the fuel points it
    // stopped or withdrew.
    std::vector<int> StopEverything();
    // The grade's price on each of this line's nozzles of the grade: one report entry each.
    nlohmann::json ApplyPrice(const std::string& grade, double price);
    Outcome ReadTotals(int fuelPoint);

    LineHealth Health() const;

  private:
    struct Nozzle {
        int number = 0;
        std::string grade;
        double confirmedPrice = 0;           // the controller read it back
        std::optional<double> pendingPrice;  // to be set when the nozzle is free
        std::optional<double> driverPrice;   // what the driver last sent (its NozzlePrice)
    };
    struct Fill {
        OpenFill record;
        double volume = 0;
        double amount = 0;
        bool seenRunning = false;
        int pollsWaiting = 0;  // started, yet the nozzle still calls
    };
    struct Outside {
        int nozzle = 0;
        double volume = 0;
        double amount = 0;
        Time since{};
    };
    struct Point {
        const FuelPointConfig* config = nullptr;
        std::vector<Nozzle> nozzles;
        bool closed = false;
        bool autonomous = false;  // a mode-'0' controller: dispenses on its own
        bool answered = false;    // the controller has answered since the start
        bool readTotals = false;  // the start's readings are in the journal
        int totalAttempts = 0;
        int silentPolls = 0;
        int badPolls = 0;
        std::array<std::uint8_t, 7> codes{};
        std::array<double, 7> volumes{};
        std::array<double, 7> previousVolumes{};
        std::optional<Fill> fill;
        std::optional<Outside> outside;
        std::optional<FuelPointView> published;
    };
    using Change = std::function<bool(WriteTransaction&, FuelPointView&)>;

    void Run(Recovered recovered, std::promise<void> recovered_signal);
    void RunCommands();
    void Cycle();
    bool LineAnswered() const;
    void Poll(Point& point);
    void Evaluate(Point& point);
    void EvaluateAutonomous(Point& point);
    void MarkFuelling(Fill& fill, const Nozzle& nozzle, double totalBefore, Time at) const;
    void StartAt(Point& point, int nozzle);
    void Adopt(Point& point, int nozzle);
    void Unstart(Point& point);
    void Settle(Point& point);
    bool Cancel(Point& point, const std::string& why, const std::optional<RequestRecord>& request,
                Outcome* outcome);
    bool StopPump(Point& point, int nozzle);
    void ApplyPendingPrices(Point& point);
    nlohmann::json ApplyPriceAt(Point& point, Nozzle& nozzle);
    void SelectNozzle(Point& point, int nozzle);
    void UseDriverPrice(Point& point, Nozzle& nozzle, double price);
    double PriceOf(const Nozzle& nozzle) const;
    double ReadTotal(Point& point, int nozzle);
    void ReadStartTotals(Point& point);

    FuelPointView ViewOf(const Point& point) const;
    FuelPointState StateOf(const Point& point) const;
    // Runs change in a journal job with the point's view (as the point is now); when change
    // returns true, the view goes out as a fuel-point event and onto the board. nullopt
    // when the journal failed.
    std::optional<FuelPointView> Commit(Point& point, Change change);
    void PublishIfChanged(Point& point);
    Point* Find(int fuelPoint);
    Nozzle* NozzleOf(Point& point, int number);
    std::optional<Outcome> Remembered(const RequestRecord& record);
    Outcome Finish(const RequestRecord& record, Outcome outcome);

    Shared shared_;
    const LineConfig& line_;
    OpenedLine opened_;
    std::unique_ptr<TVM30> driver_;
    std::vector<Point> points_;

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> commands_;
    bool running_ = false;
    bool stopping_ = false;

    mutable std::mutex healthMutex_;
    LineHealth health_;
    LineCounters::Duration cycleTotal_{};
};

}  // namespace fuel::forecourt
