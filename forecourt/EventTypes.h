// The names of the journal's events and of the station's alarms: the words of the wire too,
// which the head office reads off the broker. Names only, with no code behind them, so that
// a reader of the events needs nothing else of the forecourt.
#pragma once

#include <string_view>

namespace fuel::forecourt {

// The event types, and what each one's data is.
namespace event_type {
inline constexpr std::string_view kFuelPoint = "fuel-point";  // a FuelPointView: state changed
inline constexpr std::string_view kSale = "sale";             // a Sale: made or changed state
inline constexpr std::string_view kFillCancelled = "fill-cancelled";  // a FillView + "reason"
inline constexpr std::string_view kPrice = "price";  // a Grade + "nozzles": the read-back report
inline constexpr std::string_view kEmergencyStop = "emergency-stop";  // {"by", "fuelPoints"}
inline constexpr std::string_view kFillProgress = "fill-progress";    // live only: a FuelPointView
// Live only, to a reader that resumed after an event the journal no longer keeps: its view is
// stale and must be read again (GET the forecourt); {"after", "oldest"}, its id the event the
// stream goes on after.
inline constexpr std::string_view kReload = "reload";
// {"kind", "fuelPoint", "message", ...}: something at the station that people must look at
inline constexpr std::string_view kAlarm = "alarm";
inline constexpr std::string_view kAll[] = {kFuelPoint,     kSale,         kFillCancelled, kPrice,
                                            kEmergencyStop, kFillProgress, kAlarm,         kReload};
}  // namespace event_type

// The kinds of alarm, and what each one's data holds beside kind, fuelPoint and message.
namespace alarm_kind {
// A fill no till authorised: "nozzle", "sale" (its id).
inline constexpr std::string_view kUnauthorisedFill = "unauthorised-fill";
// A totaliser read lower than before (a controller replaced or reset): "nozzle", "before",
// "after".
inline constexpr std::string_view kTotaliserReset = "totaliser-reset";
// The journal could not write for a while (a full disk, an I/O error), told once it writes
// again; fuelPoint 0 (the whole station): "since" (when it began), "error".
inline constexpr std::string_view kJournalFailed = "journal-failed";
inline constexpr std::string_view kAll[] = {kUnauthorisedFill, kTotaliserReset, kJournalFailed};
}  // namespace alarm_kind

}  // namespace fuel::forecourt
