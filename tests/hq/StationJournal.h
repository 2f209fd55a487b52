// A station's journal for the head office's tests, made with the forecourt's own types and
// encoders, and each event as the bridge publishes it: the event's JSON with the station.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/Topics.h"
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

inline Message StatusMessage(const std::string& station, std::string_view status) {
    return {bridge::StatusTopic(station), std::string(status)};
}

}  // namespace fuel::hq::test
