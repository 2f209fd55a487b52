// Stations as a chain runs them: the built fuel-forecourtd, each with its own journal on the
// embedded emulator, one broker, one back office. Fills and closes go through each daemon's
// API; a command to their group; a daemon killed with SIGKILL while the broker is away and
// its events are committed but not published; a daemon stopped with SIGTERM; and a broker
// section with a mistake, which starts nothing.
#include <signal.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "bridge/Topics.h"
#include "testing/BridgeStation.h"
#include "testing/Broker.h"
#include "testing/ChildProcess.h"
#include "testing/HttpClient.h"
#include "testing/StationDaemon.h"
#include "testing/TestFiles.h"

#ifndef FUEL_FORECOURTD_PATH
#error "FUEL_FORECOURTD_PATH must name the built program"
#endif

namespace fuel::bridge {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using forecourt::Sequence;
using fuel::test::MqttPeer;
using fuel::test::ReadBytes;
using nlohmann::json;
using test::EventsOf;
using test::OneTo;
using test::ProgramRun;

constexpr char kOffice[] = "groups = south\nidentity.hq = backoffice\n";

ProgramRun RunDaemonCommand(const fs::path& dir, const std::vector<std::string>& words) {
    return test::RunDaemonCommand(FUEL_FORECOURTD_PATH, dir, words);
}

// A station of this file: the built daemon, in the group "south", hq a back office.
class Station : public test::StationDaemon {
  public:
    Station(const std::string& id, const std::string& url)
        : StationDaemon(FUEL_FORECOURTD_PATH, id, url, kOffice) {}
};

class StationsTest : public testing::Test {
  protected:
    bool ReceivedUpTo(const std::string& station, Sequence n) {
        return office_->WaitFor([&](const auto& messages) {
            const test::Received received = EventsOf(messages, station);
            return !received.firsts.empty() && received.firsts.back() >= n;
        });
    }

    fuel::test::MosquittoBroker broker_;
    std::unique_ptr<MqttPeer> office_ = std::make_unique<MqttPeer>(
        broker_.Port(), std::vector<std::string>{"stations/#"}, "office");
};

TEST_F(StationsTest, TwoDaemonsInOrderAGroupCommandAppliedOnceEachAndACleanStop) {
    Station a("a", broker_.Url());
    Station b("b", broker_.Url());
    a.Start();
    b.Start();
    for (int i = 0; i < 3; ++i) {
        a.Fill(0.5);
        b.Fill(0.5);
    }
    a.Toggle(4);
    b.Toggle(4);
    const Sequence lastA = a.LastSequence();
    const Sequence lastB = b.LastSequence();
    ASSERT_TRUE(ReceivedUpTo("a", lastA));
    ASSERT_TRUE(ReceivedUpTo("b", lastB));
    for (const auto& [station, last] : {std::pair{"a", lastA}, std::pair{"b", lastB}}) {
        const test::Received received = EventsOf(office_->Messages(), station);
        EXPECT_EQ(std::vector(received.firsts.begin(),
                              received.firsts.begin() +
                                  std::min<std::ptrdiff_t>(last, std::ssize(received.firsts))),
                  OneTo(last))
            << station;
        EXPECT_EQ(received.outOfOrder, 0) << station;
        EXPECT_EQ(received.wrongTopic, 0) << station;
        EXPECT_TRUE(received.types.contains("sale")) << station;
    }

    const std::string command = R"({"id":"g1","grade":"95","price":46.5})";
    ASSERT_TRUE(office_->Publish(GroupCommandTopic("south", "hq"), command));
    ASSERT_TRUE(office_->Publish(GroupCommandTopic("south", "hq"), command));
    // A second command after it: once its price event is in, so is everything before it.
    ASSERT_TRUE(office_->Publish(GroupCommandTopic("south", "hq"),
                                 R"({"id":"g2","grade":"92","price":49.5})"));
    const auto priceEvents = [](const std::vector<MqttPeer::Message>& messages,
                                const std::string& station, const std::string& grade) {
        int count = 0;
        for (const auto& message : messages) {
            if (message.topic != EventTopic(station, "price"))
                continue;
            count += json::parse(message.payload)["data"]["grade"]["code"] == grade;
        }
        return count;
    };
    for (const std::string station : {"a", "b"}) {
        ASSERT_TRUE(office_->WaitFor([&](const auto& messages) {
            return priceEvents(messages, station, "92") > 0;
        })) << station;
        const auto messages = office_->Messages();
        EXPECT_EQ(priceEvents(messages, station, "95"), 1) << station;
        int replies = 0;
        for (const auto& message : messages) {
            if (message.topic == ReplyTopic(station) &&
                json::parse(message.payload)["id"] == "g1") {
                ++replies;
            }
        }
        EXPECT_GE(replies, 1) << station;
        // The daemon's info: its own version, and the prices as the commands left them.
        json info;
        EXPECT_TRUE(office_->WaitFor([&](const auto& messages) {
            for (const auto& message : messages) {
                if (message.topic == InfoTopic(station))
                    info = json::parse(message.payload);
            }
            return info.is_object() && info["grades"][1]["price"] == 49.5;
        })) << station
            << ": " << info.dump();
        EXPECT_EQ(info["version"], FUEL_VERSION) << station;
        EXPECT_EQ(info["grades"][0]["price"], 46.5) << station;
    }

    // SIGTERM right after more events: the bridge stops while the journal is still open,
    // waits for what is on the wire, says "offline" at once (not a last will, which the
    // broker sends only after 1.5 keepalives) and records what the broker acknowledged:
    // everything the back office received.
    a.Toggle(2);
    EXPECT_EQ(a.Stop(), 0);
    EXPECT_NE(a.Log().find("<6>stopped\n"), std::string::npos) << a.Log();
    EXPECT_EQ(a.Log().find("failed"), std::string::npos) << a.Log();
    EXPECT_TRUE(office_->WaitFor(
        [](const auto& messages) { return test::LastStatus(messages, "a") == "offline"; }, 5s));
    const test::Received received = EventsOf(office_->Messages(), "a");
    ASSERT_FALSE(received.firsts.empty());
    EXPECT_EQ(a.StoredPosition(), received.firsts.back());
    EXPECT_GT(a.StoredPosition(), lastA);
    EXPECT_EQ(b.Stop(), 0);
}

TEST_F(StationsTest, KilledBetweenCommitAndPublicationPublishesOnceAfterRestart) {
    Station k("k", broker_.Url());
    broker_.Stop();
    k.Start();
    k.Fill(0.5);
    k.Fill(0.5);
    k.Toggle(3);
    const Sequence committed = k.LastSequence();
    ASSERT_GT(committed, 0);
    k.Kill();  // committed, never published
    EXPECT_EQ(k.StoredPosition(), 0);
    broker_.Start();

    k.Start();
    const Sequence last = k.LastSequence();
    ASSERT_GE(last, committed);
    ASSERT_TRUE(ReceivedUpTo("k", last));
    {
        const test::Received received = EventsOf(office_->Messages(), "k");
        EXPECT_EQ(received.firsts, OneTo(last));
        EXPECT_EQ(received.repeats, 0);
        EXPECT_EQ(received.outOfOrder, 0);
    }
    // Acknowledged and recorded: then killed again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (k.StoredPosition() < last && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(k.StoredPosition(), last);
    k.Kill();
    // The broker tells the back office that the station is gone: its last will.
    EXPECT_TRUE(office_->WaitFor(
        [](const auto& messages) { return test::LastStatus(messages, "k") == "offline"; }));

    office_->Clear();
    k.Start();
    k.Toggle(2);
    const Sequence after = k.LastSequence();
    ASSERT_TRUE(ReceivedUpTo("k", after));
    const test::Received received = EventsOf(office_->Messages(), "k");
    ASSERT_FALSE(received.firsts.empty());
    EXPECT_EQ(received.firsts.front(), last + 1);  // nothing acknowledged came again
    EXPECT_EQ(received.firsts.back(), after);
    EXPECT_EQ(received.repeats, 0);
    EXPECT_EQ(k.Stop(), 0);
}

// A mistake in the broker's section: the daemon names its line and starts nothing (no
// journal made, no address listened on).
struct BadBroker {
    const char* what;
    std::string url;
    std::string station;
    std::string extra;
    int line;
    std::string says;
};

void PrintTo(const BadBroker& c, std::ostream* os) {
    *os << c.what;
}

class StationsBadBrokerTest : public testing::TestWithParam<BadBroker> {};

TEST_P(StationsBadBrokerTest, NamesTheLineAndStartsNothing) {
    const BadBroker& c = GetParam();
    fuel::test::TemporaryDirectory dir;
    const fs::path config = test::WriteStation(dir.Path(), c.station, c.url, c.extra);
    const ProgramRun run =
        RunDaemonCommand(dir.Path(), {"--config", config.string(), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(run.status, 1);
    const std::string where = "<3>" + config.string() + ":" + std::to_string(c.line) + ": [mqtt]: ";
    EXPECT_EQ(run.err.rfind(where, 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("listening"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.Path() / "station.db"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, StationsBadBrokerTest,
    testing::Values(BadBroker{"scheme", "http://h", "s", "", 17, "mqtt:// or mqtts://"},
                    BadBroker{"station", "mqtt://h", "a/b", "", 18, "one topic level"},
                    BadBroker{"role", "mqtt://h", "s", "identity.hq = admin\n", 20,
                              "none of viewer, pos, backoffice or technician"},
                    BadBroker{"key", "mqtt://h", "s", "colour = red\n", 20, "no key \"colour\""}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace fuel::bridge
