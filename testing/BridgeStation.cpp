#include "testing/BridgeStation.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>

#include "bridge/Topics.h"
#include "testing/TestFiles.h"

namespace fuel::bridge::test {
namespace {

using forecourt::Caller;
using forecourt::Forecourt;

std::string NextKey(const std::string& what) {
    static std::atomic<int> counter{0};
    return what + "-" + std::to_string(++counter);
}

void Require(const forecourt::Outcome& outcome, const std::string& what) {
    if (!outcome.Ok())
        throw std::runtime_error(what + ": " + outcome.reason + ": " + outcome.message);
}

}  // namespace

std::filesystem::path WriteStation(const std::filesystem::path& dir, const std::string& station,
                                   const std::string& url, const std::string& extra) {
    const std::filesystem::path file = dir / "station.ini";
    fuel::test::WriteBytes(file,
                           "[forecourt]\n"
                           "database = station.db\n"
                           "[line north]\n"
                           "port = emulator:" BRIDGE_TEST_BUS
                           "\n"
                           "customers = yes\n"
                           "[grade 95]\n"
                           "name = Super 95\n"
                           "price = 45.67\n"
                           "[grade 92]\n"
                           "name = Regular 92\n"
                           "price = 48.17\n"
                           "[fuel-point 1]\n"
                           "line = north\n"
                           "address = 1\n"
                           "nozzles = 95 92\n"
                           "[mqtt]\n"
                           "url = " +
                               url + "\nstation = " + station + "\nkeepalive = 5\n" + extra);
    return file;
}

Received EventsOf(const std::vector<fuel::test::MqttPeer::Message>& messages,
                  const std::string& station) {
    Received received;
    std::set<forecourt::Sequence> seen;
    const std::string prefix = EventTopic(station, "");
    for (const auto& message : messages) {
        if (!message.topic.starts_with(prefix))
            continue;
        const nlohmann::json event = nlohmann::json::parse(message.payload);
        const std::string type = event.at("type");
        received.types.insert(type);
        if (message.topic != EventTopic(station, type) || event.at("station") != station) {
            ++received.wrongTopic;
        }
        if (event.at("id").is_null())
            continue;  // fill progress
        const forecourt::Sequence sequence = event.at("id");
        if (!seen.insert(sequence).second) {
            ++received.repeats;
        } else if (!received.firsts.empty() && sequence < received.firsts.back()) {
            ++received.outOfOrder;
        } else {
            received.firsts.push_back(sequence);
        }
    }
    return received;
}

std::vector<forecourt::Sequence> OneTo(forecourt::Sequence n) {
    std::vector<forecourt::Sequence> all(static_cast<std::size_t>(n));
    std::iota(all.begin(), all.end(), 1);
    return all;
}

void ToggleFuelPoint(Forecourt& forecourt, int count) {
    for (int i = 0; i < count; ++i) {
        const Caller caller{"test", NextKey("toggle")};
        const bool closed = forecourt.FuelPoint(1).value().closed;
        const forecourt::Outcome outcome = Forecourt::Await([&](forecourt::Done done) {
            if (closed) {
                forecourt.Open(1, caller, std::move(done));
            } else {
                forecourt.Close(1, caller, std::move(done));
            }
        });
        Require(outcome, "toggling fuel point 1");
    }
}

void Fill(Forecourt& forecourt, double litres) {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<forecourt::SaleId> made;
    forecourt::Subscription subscription =
        forecourt.Subscribe(std::nullopt, [&](const forecourt::Event& event) {
            // A sale made; a late event of the last fill's clear is not this fill's.
            if (event.type != forecourt::event_type::kSale || event.data.at("state") != "PAYABLE") {
                return;
            }
            std::lock_guard lock(mutex);
            made = event.data.at("id").get<forecourt::SaleId>();
            changed.notify_all();
        });
    const forecourt::Outcome authorised = Forecourt::Await([&](forecourt::Done done) {
        forecourt.Authorise({1, forecourt::Preset::Volume(litres), {}, false},
                            Caller{"test", NextKey("fill")}, std::move(done));
    });
    Require(authorised, "authorising fuel point 1");
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return made.has_value(); })) {
        throw std::runtime_error("the fill made no sale");
    }
    const forecourt::SaleId sale = *made;
    lock.unlock();
    subscription.Cancel();
    const forecourt::Outcome cleared = Forecourt::Await([&](forecourt::Done done) {
        forecourt.ClearSale(sale, Caller{"test", NextKey("clear")}, std::move(done));
    });
    Require(cleared, "clearing the sale");
}

std::string LastStatus(const std::vector<fuel::test::MqttPeer::Message>& messages,
                       const std::string& station) {
    std::string status;
    for (const auto& message : messages) {
        if (message.topic == StatusTopic(station))
            status = message.payload;
    }
    return status;
}

}  // namespace fuel::bridge::test
