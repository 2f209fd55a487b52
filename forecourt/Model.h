// The forecourt as its clients see it: fuel points and their states, nozzles and grades, the
// running fill, sales, events. Plain values, copied out of the forecourt; each has one JSON
// form (ToJson), the one the network API and the journal's events carry, so that every
// client reads the same names.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "forecourt/EventTypes.h"
#include "http/Time.h"

namespace fuel::forecourt {

using Time = http::Time;
using Sequence = std::int64_t;  // an event's number in the journal, from 1
using SaleId = std::int64_t;

// JSON as one line of text, the way the journal keeps it and the network carries it. Text
// that is not UTF-8 (a name from a file in another encoding) is replaced by U+FFFD where it
// breaks, never refused: a change the pumps already made must not fail for its wording.
std::string JsonText(const nlohmann::json& json);

// RFC 3339 in UTC with milliseconds, "2024-05-01T10:00:00.123Z"; and back (nullopt when the
// text is not one): the API's one time format, which the head office shares.
using http::FormatTime;
using http::ParseTime;

enum class FuelPointState { Closed, Idle, Calling, Authorised, Fuelling, Offline, Error };
// "CLOSED", "IDLE", "CALLING", "AUTHORISED", "FUELLING", "OFFLINE", "ERROR".
std::string_view Name(FuelPointState state);

// A fill's life in the journal. A sale is a fill that ended with fuel taken: PAYABLE, LOCKED
// or CLEARED. CANCELLED: the authorisation ended without fuel (withdrawn, stopped before the
// nozzle was lifted, or the nozzle hung up dry).
enum class FillState { Authorised, Fuelling, Cancelled, Payable, Locked, Cleared };
// "AUTHORISED", "FUELLING", "CANCELLED", "PAYABLE", "LOCKED", "CLEARED".
std::string_view Name(FillState state);
std::optional<FillState> FillStateFromName(std::string_view name);

struct Preset {
    enum class Kind { None, Volume, Money };
    Kind kind = Kind::None;
    double value = 0;  // litres or money; 0 with Kind::None

    static Preset Volume(double litres) { return {Kind::Volume, litres}; }
    static Preset Money(double amount) { return {Kind::Money, amount}; }
};
// "none", "volume" or "money", as the JSON and the journal name a preset's kind.
std::string_view PresetKindName(Preset::Kind kind);
// The preset of the kind so named (any other name: none).
Preset PresetFrom(std::string_view kind, double value);
// {"kind": "none"|"volume"|"money", "value": number}
nlohmann::json ToJson(const Preset& preset);

// Who released a fill: a client of ours through the API, or the pump itself (a manual
// release at the dispenser, a controller in stand-alone mode or one that dispenses on its
// own, a fill that ran while nobody was polling).
enum class Origin { Api, Pump };
// "api", "pump".
std::string_view Name(Origin origin);
std::optional<Origin> OriginFromName(std::string_view name);

struct Grade {
    std::string code;  // as the configuration names it, e.g. "95"
    std::string name;
    double price = 0;  // the price in force, per litre
};
// {"code", "name", "price"}
nlohmann::json ToJson(const Grade& grade);

struct NozzleView {
    int number = 0;  // 1..6
    std::string grade;
    // The unit price this nozzle's controller last confirmed (read back); 0 before any.
    double price = 0;
    // Its controller dispenses on its own and keeps no price: a price change passes it by.
    bool takesNoPrice = false;
};
// {"number", "grade", "price", "takesNoPrice"}
nlohmann::json ToJson(const NozzleView& nozzle);

// The fill of a fuel point, from its authorisation until it becomes a sale or is cancelled;
// or a fill that runs without an authorisation of ours (authorised false; id 0 until the
// journal holds it).
struct FillView {
    SaleId id = 0;  // the fill's (later the sale's) id; 0 before the journal has it
    FillState state = FillState::Authorised;  // Authorised or Fuelling
    bool authorised = true;
    Preset preset;
    std::vector<std::string> grades;  // the grades it may take; empty: any
    bool prepaid = false;
    std::string authorisedBy;
    int nozzle = 0;  // 0 until a nozzle is started
    std::string grade;
    double price = 0;
    double volume = 0;  // running: as the last poll saw it
    double amount = 0;
    std::optional<Time> authorisedAt;
    std::optional<Time> startedAt;
};
// {"id" (null when not ours), "state", "authorised", "preset", "grades", "prepaid",
//  "authorisedBy", "nozzle" (null before the start), "grade", "price", "volume", "amount",
//  "authorisedAt", "startedAt"}
nlohmann::json ToJson(const FillView& fill);

struct FuelPointView {
    int id = 0;
    std::string line;
    int address = 0;  // the dispenser's number on its line
    FuelPointState state = FuelPointState::Offline;
    bool closed = false;  // blocked by the back office (also while a fill finishes)
    std::vector<NozzleView> nozzles;
    std::optional<FillView> fill;
    int saleBuffer = 2;
    int unclearedSales = 0;
    // Who releases its fills: a till (api), or the pump itself (pump: nothing to authorise).
    Origin release = Origin::Api;
};
// {"id", "line", "address", "state", "closed", "nozzles": [...], "fill": {...}|null,
//  "saleBuffer", "unclearedSales", "release"}
nlohmann::json ToJson(const FuelPointView& point);

// A nozzle's volume totaliser as last read, and when.
struct TotalReading {
    double volume = 0;
    Time at{};
};

struct Sale {
    SaleId id = 0;
    int fuelPoint = 0;
    int nozzle = 0;
    std::string grade;
    double price = 0;
    double volume = 0;
    double amount = 0;
    FillState state = FillState::Payable;
    Preset preset;
    bool prepaid = false;
    Origin origin = Origin::Api;
    std::string authorisedBy;  // empty for a fill released at the pump
    // The controller gave no amount: it is the volume at the price the fill ran at.
    bool amountComputed = false;
    std::string lockedBy;   // empty when not locked
    std::string clearedBy;  // empty when not cleared
    double totalBefore = 0;
    double totalAfter = 0;
    Time authorisedAt{};
    Time startedAt{};
    Time endedAt{};
    std::optional<Time> lockedAt;
    std::optional<Time> clearedAt;
};
// {"id", "fuelPoint", "nozzle", "grade", "price", "volume", "amount", "state",
//  "authorisedBy", "lockedBy", "clearedBy" (null when none), "totalBefore", "totalAfter",
//  "startedAt", "endedAt", "lockedAt", "clearedAt" (null when none), "preset", "prepaid",
//  "origin", "amountComputed"}
nlohmann::json ToJson(const Sale& sale);
// The same object as ToJson(sale), written straight onto the text: a page of a thousand
// sales is half a megabyte, and building a JSON value of each first takes several times as
// long as writing it.
void AppendJson(std::string& text, const Sale& sale);

// What changed. Journaled events have a sequence number and are committed before anyone
// sees them; fill progress (type "fill-progress") is live only: sequence 0, never stored.
struct Event {
    Sequence sequence = 0;
    std::string type;
    Time at{};
    nlohmann::json data;

    bool Journaled() const { return sequence > 0; }
};
// {"id" (null for fill progress), "type", "at", "data"}
nlohmann::json ToJson(const Event& event);

// The data of an alarm event.
nlohmann::json AlarmData(std::string_view kind, int fuelPoint, std::string message,
                         nlohmann::json details = nlohmann::json::object());

}  // namespace fuel::forecourt
