#include "forecourt/Loop.h"

#include <algorithm>

#include "forecourt/ControllerAdapter.h"

namespace fuel::forecourt {
namespace {

using SteadyClock = std::chrono::steady_clock;

// How old a totaliser reading may be before a client's wish has it read again.
constexpr std::chrono::seconds kFreshTotals{3};

}  // namespace

Loop::Loop(FuelPoints::Services services, const Options& options, const LineConfig& line,
           OpenedLine opened)
    : options_(options), line_(line), opened_(std::move(opened)), points_(services, line) {
    health_.line = line_.name;
    health_.port = line_.port;
    health_.fuelPoints = points_.Ids();
}

Loop::~Loop() {
    Stop();
}

std::future<void> Loop::Start(FuelPoints::Recovered recovered) {
    recovered_ = std::move(recovered);
    recoveredSignal_ = std::promise<void>();
    std::future<void> ready = recoveredSignal_.get_future();
    worker_.Start([this](Worker<Command>& worker) { Turn(worker); });
    return ready;
}

void Loop::Stop() {
    worker_.Stop();
}

bool Loop::Post(Command command) {
    return worker_.Post(std::move(command));
}

// One turn of the loop's thread: the first recovers the fuel points (a fill that ran or ended
// while we were down is settled by that first cycle), every other rests if it may, runs the
// commands and polls the line once round.
void Loop::Turn(Worker<Command>& worker) {
    if (!controller_) {
        controller_ = std::make_unique<ControllerAdapter>(*opened_.link, line_.driverOptions);
        points_.Begin(*controller_, std::move(recovered_), opened_.authorised);
        Cycle(worker);
        recoveredSignal_.set_value();
        return;
    }
    if (const auto pause = Pause(); pause.count() > 0)
        worker.Rest(pause);
    RunCommands(worker);
    if (!worker.Stopping())
        Cycle(worker);
}

// How long to rest before the next cycle: after one in which nothing on the line answered,
// a port that refuses at once (a converter that is down) is not hammered; while every fuel
// point is idle the configuration may let the line rest. Commands wake it either way.
std::chrono::milliseconds Loop::Pause() const {
    if (!lineAnswered_)
        return options_.downPause;
    return points_.Quiet() ? options_.idlePause : std::chrono::milliseconds(0);
}

void Loop::RunCommands(Worker<Command>& worker) {
    for (Command& command : worker.Take())
        command(points_);
}

void Loop::Cycle(Worker<Command>& worker) {
    const auto started = SteadyClock::now();
    const LineCounters before = opened_.counters ? opened_.counters() : LineCounters{};
    bool anyAnswered = false;
    for (std::size_t i = 0; i < points_.Count(); ++i) {
        RunCommands(worker);
        anyAnswered = points_.Poll(i) || anyAnswered;
    }
    RefreshWantedTotals(worker);
    if (opened_.afterCycle)
        opened_.afterCycle();
    lineAnswered_ = anyAnswered;
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

void Loop::WantTotals(int fuelPoint) {
    std::lock_guard lock(wantedMutex_);
    wantedTotals_.insert(fuelPoint);
}

// At most one totaliser a cycle, so that readers cost the line no more than a poll's worth
// of wire time whatever their number; commands queued meanwhile go first.
void Loop::RefreshWantedTotals(Worker<Command>& worker) {
    std::optional<int> next;
    {
        std::lock_guard lock(wantedMutex_);
        if (!wantedTotals_.empty())
            next = *wantedTotals_.begin();
    }
    if (!next)
        return;
    RunCommands(worker);
    if (points_.Refresh(*next, kFreshTotals)) {
        std::lock_guard lock(wantedMutex_);
        wantedTotals_.erase(*next);
    }
}

LineHealth Loop::Health() const {
    std::lock_guard lock(healthMutex_);
    return health_;
}

}  // namespace fuel::forecourt
