// A station's journal for the head office's tests and benchmarks, made with the forecourt's
// own types and encoders, and each event as the bridge publishes it: the event's JSON with
// the station.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"
#include "forecourt/EventTypes.h"
#include "forecourt/Model.h"
#include "hq/Intake.h"

namespace fuel::hq::test {

inline forecourt::Time At(int second) {
    return forecourt::Time(std::chrono::seconds(1'780'000'000 + second));
}

class StationJournal {
  public:
    explicit StationJournal(std::string station) : station_(std::move(station)) {}

    const std::string& Station() const { return station_; }
    const std::vector<Message>& Messages() const { return messages_; }
    forecourt::Sequence Last() const { return static_cast<forecourt::Sequence>(messages_.size()); }

    // Appends an event of the journal; returns its message.
    const Message& Add(std::string_view type, nlohmann::json data) {
        const forecourt::Sequence sequence = Last() + 1;
        const forecourt::Event event{sequence, std::string(type), At(static_cast<int>(sequence)),
                                     std::move(data)};
        messages_.push_back(Publish(event));
        return messages_.back();
    }
    // The same as the bridge's payload, for any event (a live one has sequence 0).
    Message Publish(const forecourt::Event& event) const {
        nlohmann::json json = forecourt::ToJson(event);
        json["station"] = station_;
        return {bridge::EventTopic(station_, event.type), forecourt::JsonText(json)};
    }

  private:
    std::string station_;
    std::vector<Message> messages_;
};

// One fill at a fuel point as the journal shows it, the mix of events a station's day is
// made of: the point called, authorised and fuelling, the sale made, the point idle again,
// the sale cleared (six events). `fill` numbers the sale and picks the point (of eight).
inline void AddFill(StationJournal& journal, int fill) {
    const auto next = [&] { return At(static_cast<int>(journal.Last() + 1)); };
    forecourt::FuelPointView point;
    point.id = fill % 8 + 1;
    point.line = "line-1";
    point.address = point.id;
    point.nozzles = {{1, "95", 1.99, false}, {2, "92", 1.79, false}};
    forecourt::Sale sale;
    sale.id = fill;
    sale.fuelPoint = point.id;
    sale.nozzle = 1;
    sale.grade = "95";
    sale.price = 1.99;
    sale.volume = 20 + fill % 17;
    sale.amount = sale.volume * sale.price;
    sale.authorisedBy = "till-1";
    sale.totalBefore = 10000 + fill * 30;
    sale.totalAfter = sale.totalBefore + sale.volume;
    for (const auto state :
         {forecourt::FuelPointState::Calling, forecourt::FuelPointState::Authorised,
          forecourt::FuelPointState::Fuelling}) {
        if (state == forecourt::FuelPointState::Authorised)
            sale.authorisedAt = next();
        if (state == forecourt::FuelPointState::Fuelling)
            sale.startedAt = next();
        point.state = state;
        journal.Add(forecourt::event_type::kFuelPoint, forecourt::ToJson(point));
    }
    sale.endedAt = next();
    journal.Add(forecourt::event_type::kSale, forecourt::ToJson(sale));
    point.state = forecourt::FuelPointState::Idle;
    journal.Add(forecourt::event_type::kFuelPoint, forecourt::ToJson(point));
    sale.state = forecourt::FillState::Cleared;
    sale.clearedBy = "till-1";
    sale.clearedAt = next();
    journal.Add(forecourt::event_type::kSale, forecourt::ToJson(sale));
}
inline constexpr int kEventsPerFill = 6;

inline Message StatusMessage(const std::string& station, std::string_view status) {
    return {bridge::StatusTopic(station), std::string(status)};
}

}  // namespace fuel::hq::test
