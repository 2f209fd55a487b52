// The forecourt: every fuel point of the station over the driver, one poll loop per line,
// sales in a journal that survives any crash. The one object a server (or fuelctl) holds.
//
// Threads. Start() runs one loop thread per line, the journal's writer and the publisher.
// Only a line's loop touches that line's driver and link: a command for a fuel point
// (authorise, stop, close, open, price) is queued to its loop and answered through Done
// when the line has done it and the journal holds the result. Sale requests (lock, unlock,
// clear) never touch a line: the journal's writer answers them. Queries (Snapshot, Sales,
// EventsAfter, Health, totals, the reconciliation) read copies or the database and never
// wait on a line.
// Subscribers are called on the publisher's thread, never on a loop's, and with no lock held
// that a loop needs: a slow subscriber delays other subscribers, never a line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "forecourt/Config.h"
#include "forecourt/Journal.h"
#include "forecourt/Lines.h"
#include "forecourt/Model.h"
#include "forecourt/Outcome.h"
#include "forecourt/Worker.h"
#include "link/Line.h"

namespace fuel::forecourt {

class FuelPoints;
class Loop;
class Publisher;
class Board;
enum class SaleOperation;

struct AuthoriseRequest {
    int fuelPoint = 0;
    Preset preset;
    std::vector<std::string> grades;  // empty: any nozzle of the point
    bool prepaid = false;             // the sale is locked to the authorising client
};

// Where a list of sales stands: its order is the sales' end, newest first, then their ids
// (several sales may end in one millisecond). A sale's end never changes, so a list read on
// from a position is the one the client began, however many sales arrive meanwhile.
struct SalePosition {
    Time endedAt{};
    SaleId id = 0;
};
// "<milliseconds since 1970>_<id>": what a client hands back to read on.
std::string FormatCursor(const SalePosition& position);
std::optional<SalePosition> ParseSaleCursor(std::string_view text);

struct SaleFilter {
    std::optional<FillState> state;  // a sale state: Payable, Locked or Cleared
    std::optional<int> fuelPoint;
    std::optional<Time> from;           // ended at or after
    std::optional<Time> to;             // ended before
    std::optional<SalePosition> after;  // the sales after this one in the list's order
    std::size_t limit = 1000;           // newest first
};

struct SalePage {
    std::vector<Sale> sales;
    std::optional<SalePosition> next;  // the last sale of the page, when more follow
};

// A poll loop's health, as /metrics shows it.
struct LineHealth {
    using Duration = std::chrono::nanoseconds;
    std::string line;
    std::string port;
    bool up = false;  // the last cycle had at least one answer
    std::vector<int> fuelPoints;
    LineCounters counters;
    std::uint64_t cycles = 0;  // complete poll cycles
    Duration lastCycle{};
    Duration minCycle{};
    Duration maxCycle{};
    Duration meanCycle{};
    // What the last cycle's bytes and frames took on the wire alone (where the line knows
    // its wire time): the cycle cannot be shorter.
    Duration lastWireTime{};
};

struct Snapshot {
    std::vector<FuelPointView> fuelPoints;
    std::vector<Grade> grades;
    // The journal's last event that this snapshot includes: subscribe after it to miss
    // nothing and see nothing twice.
    Sequence sequence = 0;
};
// {"fuelPoints": [...], "grades": [...], "sequence"}
nlohmann::json ToJson(const Snapshot& snapshot);

struct ReconcileRequest {
    Time from{};
    std::optional<Time> to;  // none: until now, from the readings the journal holds
    std::optional<int> fuelPoint;
    std::optional<double> tolerance;  // litres; default: the configuration's
};

// Per nozzle over a period: the totaliser's growth from its first figure in the period to
// its last (less the falls of a totaliser that was reset) against the sales between them.
// Where they differ, the stretches between two readings that differ are listed on request
// (DiscrepancyRequest), a page at a time.
struct Discrepancy {
    Time from{};
    Time to{};
    double totalFrom = 0;
    double totalTo = 0;
    double growth = 0;    // totalTo - totalFrom
    double recorded = 0;  // litres of our fills between the two readings
    double difference = 0;
    std::optional<SaleId> fillBefore;  // the last fill of ours that ended at or before `from`
    std::optional<SaleId> fillAfter;   // the first fill of ours that started at or after `to`
};
// A figure of a nozzle's totaliser in the journal: a fill's start or end, or a reading.
struct TotaliserPoint {
    enum class Kind { End, Reading, Start };  // in this order within one millisecond
    Kind kind = Kind::Reading;
    std::int64_t id = 0;  // the fill's (End, Start) or the reading's
    Time at{};
    double total = 0;
};
// "s<id>", "e<id>", "r<id>": where a page of discrepancies goes on.
std::string FormatCursor(const TotaliserPoint& point);
std::optional<std::pair<TotaliserPoint::Kind, std::int64_t>> ParsePointCursor(
    std::string_view text);

struct NozzleReconciliation {
    int fuelPoint = 0;
    int nozzle = 0;
    std::string grade;
    std::optional<TotaliserPoint> first;  // the first figure in the period
    std::optional<TotaliserPoint> last;   // the last
    double growth = 0;                    // last - first, less the falls at the totaliser's resets
    double recorded = 0;                  // the volumes of the sales between first and last
    int sales = 0;
    int resets = 0;
    double difference = 0;
};
struct Reconciliation {
    Time from{};
    Time to{};
    double tolerance = 0;
    std::vector<NozzleReconciliation> nozzles;
};
nlohmann::json ToJson(const Reconciliation& reconciliation);

struct DiscrepancyRequest {
    int fuelPoint = 0;
    int nozzle = 0;
    Time from{};
    std::optional<Time> to;  // none: until now
    std::optional<double> tolerance;
    std::optional<std::string> cursor;  // from the page before
    std::size_t limit = 100;
};
struct DiscrepancyPage {
    int fuelPoint = 0;
    int nozzle = 0;
    Time from{};
    Time to{};
    double tolerance = 0;
    std::vector<Discrepancy> discrepancies;
    // Where the next page begins; none when the period is done. A page may end before its
    // limit (it looks at a bounded stretch of the journal): follow it on.
    std::optional<std::string> cursor;
};
nlohmann::json ToJson(const DiscrepancyPage& page);

struct Options {
    LineOpener openLine = OpenLine;
    std::vector<Migration> migrations;  // a layer's tables (see Journal.h)
    // How long a loop rests between cycles when every fuel point is idle: 0 keeps the line
    // at its wire limit.
    std::chrono::milliseconds idlePause{0};
    // How long a loop rests after a cycle in which no fuel point of its line answered: a port
    // that refuses at once (a converter that is down) is not hammered. Commands wake it.
    std::chrono::milliseconds downPause{500};
    // The last event a reader outside the journal (the broker's bridge) has safely taken,
    // read in the retention's transaction: the retention deletes none after it. Empty: no
    // such reader, the events go by their age alone.
    std::function<std::optional<Sequence>(Connection&)> heldEvents;
    // How long the retention rests between its rounds.
    std::chrono::milliseconds retentionRest{std::chrono::minutes(10)};
};

// A live subscription; ends when destroyed (or Cancel), or with its forecourt. Cancel may be
// called from any thread, and no call of the subscriber follows its return (from inside the
// subscriber it only ends the calls that would come).
class Subscription {
  public:
    Subscription() = default;
    Subscription(std::weak_ptr<Publisher> publisher, std::uint64_t id)
        : publisher_(std::move(publisher)), id_(id) {}
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();
    void Cancel();

  private:
    std::weak_ptr<Publisher> publisher_;
    std::uint64_t id_ = 0;
};

class Forecourt {
  public:
    // Takes the configuration as loaded (LoadConfig); nothing runs until Start.
    explicit Forecourt(Config config, Options options = {});
    ~Forecourt();  // Stop()
    Forecourt(const Forecourt&) = delete;
    Forecourt& operator=(const Forecourt&) = delete;

    // Opens the journal (throws DatabaseError), opens every line (throws ConfigError),
    // starts the threads and returns once every loop has recovered its fuel points from the
    // journal and the controllers (fills that ran or ended while we were down settled) or
    // found its line down.
    void Start();
    // Finishes the commands already queued, stops the loops and the journal. Fills go on at
    // the pumps; the next Start settles them.
    void Stop();

    const Config& Configuration() const { return config_; }
    Journal& GetJournal() { return *journal_; }

    // ---- Queries (any thread; never wait on a line).
    Snapshot GetSnapshot() const;
    std::optional<FuelPointView> FuelPoint(int id) const;
    std::vector<Sale> Sales(const SaleFilter& filter) const;
    SalePage SalesPage(const SaleFilter& filter) const;
    std::optional<Sale> FindSale(SaleId id) const;
    std::vector<Event> EventsAfter(Sequence after, std::size_t limit) const;
    std::vector<LineHealth> Health() const;
    // The journal's last event as its file holds it, not as memory counts it: a journal whose
    // file went away shows. Throws DatabaseError when the file cannot be read.
    Sequence LastSequenceOnFile() const;
    // Since when and why the journal cannot write (forecourt/Journal.h); nullopt while it
    // writes. Meanwhile no fill is authorised.
    std::optional<Journal::WriteFailure> JournalFailure() const;

    // ---- Commands. Each calls done exactly once (Status::Unavailable when not running).
    void Authorise(const AuthoriseRequest& request, const Caller& caller, Done done);
    // Stops the fuel point's fill, or withdraws its authorisation before the start.
    void Stop(int fuelPoint, const Caller& caller, Done done);
    // Stops every fill and withdraws every authorisation, on every line at once.
    void EmergencyStop(const Caller& caller, Done done);
    void Close(int fuelPoint, const Caller& caller, Done done);
    void Open(int fuelPoint, const Caller& caller, Done done);
    // The grade's new price on every nozzle of that grade, each read back. data: the grade
    // and "nozzles": [{"fuelPoint", "nozzle", "confirmed", "deferred", "error"}]; Ok when
    // every controller confirmed (a nozzle in a fill takes the price when the fill has
    // ended: deferred), else LineFailed/price-not-confirmed naming the others.
    void SetPrice(const std::string& grade, double price, const Caller& caller, Done done);
    void LockSale(SaleId sale, const Caller& caller, Done done);
    void UnlockSale(SaleId sale, const Caller& caller, Done done);
    void ClearSale(SaleId sale, const Caller& caller, Done done);
    // Every nozzle's totaliser as its line last read it, at once (never waiting on the line);
    // the line reads again, in its own time, those older than a few seconds. data:
    // {"fuelPoint", "at" (the oldest reading's time), "nozzles": [{"nozzle", "grade",
    // "volume", "at"}]}, volume and at null for a totaliser never read.
    void ReadTotals(int fuelPoint, Done done);
    // data: ToJson(Reconciliation). Computed on a worker of its own.
    void Reconcile(const ReconcileRequest& request, Done done);
    // data: ToJson(DiscrepancyPage). On the same worker.
    void Discrepancies(const DiscrepancyRequest& request, Done done);

    // Waits for a command's outcome: Await([&](Done d) { forecourt.Stop(1, caller, d); }).
    static Outcome Await(const std::function<void(Done)>& command);

    // ---- Events. Every journaled event after `after` (the journal's, then live ones as
    // they are committed), in order, none twice; with progress, also the live fill
    // progress. Without `after`, live events only.
    Subscription Subscribe(std::optional<Sequence> after,
                           std::function<void(const Event&)> callback, bool progress = true);

  private:
    Loop* LoopOf(int fuelPoint) const;
    void ToLoopOf(int fuelPoint, const Caller* caller, Done done,
                  std::function<Outcome(FuelPoints&)> command);
    void SaleRequest(SaleId sale, const Caller& caller, SaleOperation operation, Done done);

    Config config_;
    Options options_;
    std::unique_ptr<Journal> journal_;
    std::shared_ptr<Publisher> publisher_;
    std::unique_ptr<Board> board_;
    std::vector<std::unique_ptr<Loop>> loops_;
    // Long reads the loops ask for (the reconciliation after its fresh readings), so that no
    // line and not the journal's writer waits for them.
    Worker<std::function<void()>> queries_;
    // Read by the commands on any thread.
    std::atomic<bool> running_{false};
};

}  // namespace fuel::forecourt
