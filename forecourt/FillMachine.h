// The rules of one fuel point's fill, apart from the line, the journal, the thread and the
// clock: they take what a poll saw and what the controller answered, and say what is to be
// written down and what is to be asked of the controller next. The loop around them (the
// line's FuelPoints) owns the driver, writes to the journal and reads the clock.
//
// A fill of ours goes
//   authorised ── nozzle lifted ──▶ started ── seen running ──▶ running ──▶ settled (a sale)
//        │                          │   └─ start lost, nozzle still calls ──▶ authorised
//        │                          └─ hung up dry ──▶ cancelled
//        ├─ a nozzle runs without our start ──▶ adopted (running)
//        └─ withdrawn, closed, emergency stop ──▶ cancelled
// and a fill that no authorisation of ours released (a manual release at the dispenser, a
// controller in stand-alone mode or one that dispenses on its own, a fill already running
// when we start) is written down as started at the pump the moment it is seen, and settled
// into a sale like any other.
//
// Write ahead: a step's journal entry is written before its command goes to the controller
// (a fill is marked started, with the nozzle's totaliser, before the start goes out), and
// the machine takes an entry's state only once it is committed (Apply): a journal that fails
// leaves the fill as it was. After a crash the journal and the controller's own figures (the
// totaliser before the start against the one now) say which fills ran: see Settle.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/Model.h"

namespace fuel::forecourt {

// A fill the journal shows as not yet settled: authorised, or started at a nozzle.
struct OpenFill {
    SaleId id = 0;
    int fuelPoint = 0;
    FillState state = FillState::Authorised;
    Preset preset;
    std::vector<std::string> grades;
    bool prepaid = false;
    std::string authorisedBy;
    Time authorisedAt{};
    int nozzle = 0;  // 0 while authorised
    std::string grade;
    double price = 0;
    double totalBefore = 0;
    std::optional<Time> startedAt;
    Origin origin = Origin::Api;
};

// Nozzles are numbered 1..6; index 0 of these arrays is unused.
using PerNozzle = std::array<double, 7>;

// One answered poll of the fuel point.
struct PollReading {
    std::array<std::uint8_t, 7> codes{};  // each nozzle's status byte
    PerNozzle volumes{};                  // each nozzle's running volume
    PerNozzle prices{};                   // the price a fill at each nozzle runs at now
    bool autonomous = false;              // a controller that dispenses on its own
};

// What the machine asks of the controller; its answer goes back through Answered.
struct PumpCommand {
    enum class Kind {
        ReadTotal,  // the nozzle's volume totaliser
        // The totaliser, then the volume on show once more: for a controller on its own whose
        // fill still flows, the two volumes either side place where the totaliser stood when
        // the poll's volume showed.
        ReadTotalAndVolume,
        PrepareStart,  // the price still waiting for the nozzle goes out, then its totaliser
        Start,         // the preset, then the start
        ReadFinal,     // the fill's final volume and amount, read at the fill's price
    };
    Kind kind = Kind::ReadTotal;
    int nozzle = 0;
    Preset preset;     // Start
    double price = 0;  // ReadFinal
};

struct PumpAnswer {
    bool ok = false;  // false: no answer, or one that made no sense
    double total = 0;
    double price = 0;  // ReadTotal, PrepareStart: the price a fill at the nozzle runs at now
    double volume = 0;
    double amount = 0;
    // ReadTotalAndVolume: the volume on show just before the totaliser was read (negative:
    // not read, the cycle's poll stands for it), `volume` being the one just after.
    double volumeBefore = -1;

    static PumpAnswer Failed() { return {}; }
    static PumpAnswer Total(double total, double price) { return {true, total, price, 0, 0}; }
    static PumpAnswer Final(double volume, double amount) { return {true, 0, 0, volume, amount}; }
    static PumpAnswer TotalAndVolume(double total, double price, double volume,
                                     double volumeBefore = -1) {
        return {true, total, price, volume, 0, volumeBefore};
    }
    static PumpAnswer Done() { return {true, 0, 0, 0, 0}; }
};

// A change of the fill for the journal, and the state the machine takes once it is written.
struct FillEntry {
    enum class Kind {
        Started,  // a nozzle runs for the fill (or is about to): nozzle, grade, price, total
        StartedAtThePump,  // a fill nobody authorised runs: nozzle, grade, price, total, volume
        Unstarted,         // the start did not take: authorised again
        Cancelled,         // ended without fuel: reason
        Ended,             // ended with fuel: a sale of volume and amount, the totaliser after
    };
    Kind kind = Kind::Started;
    SaleId id = 0;
    Time at{};
    int nozzle = 0;
    std::string grade;
    double price = 0;
    double total = 0;             // Started: the totaliser before; Ended: after
    bool running = false;         // Started: already running (adopted), with volume and amount
    double volume = 0;            // Started (running), Ended
    double amount = 0;            // Started (running), Ended
    bool amountComputed = false;  // Ended: the controller gave no amount
    // Ended: the totaliser before, as the controller's figures give it (total after less
    // volume), for a fill whose start was only estimated (adopted, or seen at the pump).
    std::optional<double> totalBefore;
    std::string reason;  // Cancelled
};

// What to do next: the entry first (into the journal), then the command (to the controller).
struct FillStep {
    std::optional<FillEntry> entry;
    std::optional<PumpCommand> command;

    bool Empty() const { return !entry && !command; }
};

class FillMachine {
  public:
    // Polls a started nozzle may go on calling before the start is taken as lost; and polls
    // a controller that dispenses on its own may show a still volume before its fill is over.
    static constexpr int kStartPolls = 3;
    static constexpr int kStillPolls = 3;
    // A fill on its own taken over from the journal is the one still on show unless the
    // totaliser grew by more than the volume shown and this (a start estimated while it ran).
    static constexpr double kRecoveredSlack = 0.2;
    // Less than this on a totaliser is no fuel (the totaliser's own last digit).
    static constexpr double kNoFuel = 0.005;

    // A fill that runs without an authorisation of ours, until the journal holds it.
    struct AtThePump {
        int nozzle = 0;
        double volume = 0;
        double amount = 0;
        double price = 0;
        Time since{};
    };

    // The grade of each nozzle, from nozzle 1.
    explicit FillMachine(std::vector<std::string> grades);

    // ---- What the fuel point holds.
    const std::optional<OpenFill>& Fill() const { return fill_; }
    const std::optional<AtThePump>& Unauthorised() const { return atThePump_; }
    // The running volume and amount of our fill, as the last poll saw them.
    double Volume() const { return volume_; }
    double Amount() const { return amount_; }
    bool Authorised() const { return fill_ && fill_->state == FillState::Authorised; }
    // A fill runs at the nozzle (ours, started, or one at the pump): its price must wait.
    bool Busy(int nozzle) const;
    // No fill at all, ours or at the pump: the line may rest.
    bool Quiet() const { return !fill_ && !atThePump_; }
    // The nozzle a stop goes to: the running fill's, ours or at the pump's; 0 when none.
    int RunningNozzle() const;
    // As the last poll saw the point: a nozzle lifted and waiting for a release, and whether
    // its controller dispenses on its own (and so takes no release).
    bool AnyCalling() const;
    bool Autonomous() const { return poll_.autonomous; }
    // The fill as clients see it; nullopt when there is none.
    std::optional<FillView> View() const;

    // ---- What happens.
    // A fill of ours that the journal holds open (at start), or that has just been authorised
    // (once the journal holds it).
    void Take(OpenFill fill);
    // An answered poll. The step's command, if any, is carried out and its answer handed to
    // Answered, whose step may ask for another, until a step asks for nothing.
    FillStep Polled(const PollReading& poll, Time now);
    // The same rules again on the last poll's reading (after an authorisation, so that a
    // nozzle already calling starts at once).
    FillStep Reconsider(Time now);
    FillStep Answered(const PumpAnswer& answer, Time now);
    // Our authorisation ends before any nozzle ran (withdrawn, closed, emergency stop).
    std::optional<FillEntry> Withdraw(std::string reason, Time now) const;
    // The entry is in the journal: the machine takes its state.
    void Apply(const FillEntry& entry);

  private:
    // What the machine waits for from the controller.
    enum class Asked {
        Nothing,
        StartTotal,
        Start,
        AdoptTotal,
        PumpTotal,
        SettleTotal,
        SettleFinal,
        AutonomousPlace,  // a fill on its own taken over from the journal: where it stands
        AutonomousEnd,    // its volume stood still: ended
        AutonomousNext,   // its volume fell: ended, and the next one begun
    };

    FillStep Evaluate(Time now);
    FillStep EvaluateAutonomous(Time now);
    FillStep Settle();
    FillStep WriteDownAtThePump();
    FillStep EndAutonomous(double total, double showing, Time now);
    double ShowingAtTotal(const PumpAnswer& answer, int nozzle) const;
    FillStep Ask(Asked asked, PumpCommand command);
    std::uint8_t Code(int nozzle) const { return poll_.codes[static_cast<std::size_t>(nozzle)]; }
    double VolumeAt(int nozzle) const { return poll_.volumes[static_cast<std::size_t>(nozzle)]; }
    double PriceAt(int nozzle) const { return poll_.prices[static_cast<std::size_t>(nozzle)]; }
    const std::string& GradeOf(int nozzle) const {
        return grades_.at(static_cast<std::size_t>(nozzle - 1));
    }
    FillStep FollowAtThePump(int nozzle, Time now);
    FillEntry Entry(FillEntry::Kind kind, Time now) const;

    std::vector<std::string> grades_;
    PollReading poll_;
    PerNozzle previousVolumes_{};
    long polls_ = 0;
    bool havePrevious_ = false;  // a poll before this one, to tell a rising volume by
    std::optional<OpenFill> fill_;
    double volume_ = 0;
    double amount_ = 0;
    bool seenRunning_ = false;
    int pollsWaiting_ = 0;         // started, yet the nozzle still calls
    int stillPolls_ = 0;           // dispensing on its own, yet the volume stands still
    bool startEstimated_ = false;  // the totaliser before was taken as now less what had run
    std::optional<AtThePump> atThePump_;

    Asked asked_ = Asked::Nothing;
    int askedNozzle_ = 0;
    double settleTotal_ = 0;  // the totaliser read while settling
};

// Money as the controllers count it: to the hundredth.
double Money(double value);

}  // namespace fuel::forecourt
