// The forecourt's rows in the journal: fills from their authorisation to their sale, the
// sales' lock and clear, totaliser readings, closed flags and prices. Each function runs one
// or a few statements on the connection it is given; the caller's job is the transaction.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "forecourt/Database.h"
#include "forecourt/FillMachine.h"
#include "forecourt/Forecourt.h"
#include "forecourt/Model.h"
#include "forecourt/Outcome.h"

namespace fuel::forecourt {

SaleId InsertAuthorised(Connection& db, int fuelPoint, const Preset& preset,
                        const std::vector<std::string>& grades, bool prepaid,
                        const std::string& client, Time at);
void MarkStarted(Connection& db, SaleId id, int nozzle, const std::string& grade, double price,
                 double totalBefore, Time at);
// The start did not take: authorised again, waiting for a nozzle.
void MarkUnstarted(Connection& db, SaleId id);
void MarkCancelled(Connection& db, SaleId id, const std::string& why, Time at);
// A fill nobody authorised, as it is first seen running: FUELLING at the nozzle, from the
// pump.
SaleId InsertAtThePump(Connection& db, int fuelPoint, int nozzle, const std::string& grade,
                       double price, double totalBefore, Time at);
// The fill ended with fuel: a sale, PAYABLE, or LOCKED by the authorising client when
// prepaid. Returns it as stored; throws DatabaseError when the fill is not there.
struct Ending {
    double volume = 0;
    double amount = 0;
    bool amountComputed = false;
    double totalAfter = 0;
    std::optional<double> totalBefore;  // corrects the one written at the start
};
Sale MarkEnded(Connection& db, SaleId id, const Ending& ending, Time at);

std::vector<OpenFill> LoadOpenFills(Connection& db);
std::map<int, int> UnclearedSalesByPoint(Connection& db);
int UnclearedSales(Connection& db, int fuelPoint);
std::optional<Sale> ReadSale(Connection& db, SaleId id);
// One query per combination of filters, each on an index that gives the list's order:
// no list reads more rows than it answers (and one to know whether more follow).
SalePage ReadSales(Connection& db, const SaleFilter& filter);

enum class SaleOperation { Lock, Unlock, Clear };
std::string_view Name(SaleOperation operation);  // "lock", "unlock", "clear"
// Applies the sale rules (see Forecourt.h); events and the uncleared count are the caller's.
struct SaleChange {
    Outcome outcome;
    bool changed = false;  // the row changed: an event is due
    std::optional<Sale> sale;
};
SaleChange ChangeSale(Connection& db, SaleId id, SaleOperation operation, const std::string& client,
                      Time at);

void InsertReading(Connection& db, int fuelPoint, int nozzle, double volume, Time at,
                   std::string_view source);
// The last figure known of the nozzle's totaliser: the newest of its readings and of its
// sales' totals after.
std::optional<TotalReading> LastTotal(Connection& db, int fuelPoint, int nozzle);

std::map<int, bool> ClosedFlags(Connection& db);
void SetClosed(Connection& db, int fuelPoint, bool closed);
std::map<std::string, double> GradePrices(Connection& db);
void SetGradePrice(Connection& db, const std::string& grade, double price, Time at);

}  // namespace fuel::forecourt
