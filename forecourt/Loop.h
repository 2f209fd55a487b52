// One line's poll loop: its own thread (a Worker), its own driver object over its own link,
// the fuel points on the line. It polls them one after the other without pause, runs the
// commands queued for them between two polls, and keeps the cycle's timing and the line's
// health. What a poll means for a fill is the fuel points' (FuelPoints), and every driver
// call is the controller adapter's. Nothing outside this thread touches the driver or the
// link.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "forecourt/Forecourt.h"
#include "forecourt/FuelPoints.h"
#include "forecourt/Lines.h"
#include "forecourt/Worker.h"

namespace fuel::forecourt {

class ControllerAdapter;

class Loop {
  public:
    Loop(FuelPoints::Services services, const Options& options, const LineConfig& line,
         OpenedLine opened);
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    const std::string& Name() const { return line_.name; }
    bool Owns(int fuelPoint) const { return points_.Owns(fuelPoint); }
    // Starts the thread; the future is ready when the first cycle (recovery) is over.
    std::future<void> Start(FuelPoints::Recovered recovered);
    // Runs what is queued, then stops the thread.
    void Stop();
    // Queues a command for the line's fuel points, run on the loop's thread between two
    // polls; false when the loop is not running.
    using Command = std::function<void(FuelPoints&)>;
    bool Post(Command command);

    LineHealth Health() const;

    // A client wants the fuel point's totalisers no older than a few seconds: the loop reads
    // the stale ones in its own time, after polls and commands. From any thread; coalesced.
    void WantTotals(int fuelPoint);

  private:
    void Turn(Worker<Command>& worker);
    void RunCommands(Worker<Command>& worker);
    void Cycle(Worker<Command>& worker);
    void RefreshWantedTotals(Worker<Command>& worker);
    std::chrono::milliseconds Pause() const;

    const Options& options_;
    const LineConfig& line_;
    OpenedLine opened_;
    FuelPoints points_;
    std::unique_ptr<ControllerAdapter> controller_;  // made on the loop's thread
    FuelPoints::Recovered recovered_;
    std::promise<void> recoveredSignal_;
    bool lineAnswered_ = false;  // loop thread

    std::mutex wantedMutex_;
    std::set<int> wantedTotals_;

    mutable std::mutex healthMutex_;
    LineHealth health_;
    LineCounters::Duration cycleTotal_{};
    Worker<Command> worker_;
};

}  // namespace fuel::forecourt
