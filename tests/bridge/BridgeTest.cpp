// The bridge in-process: a forecourt on the embedded emulator, the bridge, a real broker and
// a back office subscribed to the station's topics.
#include "bridge/Bridge.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "bridge/Position.h"
#include "bridge/Topics.h"
#include "testing/BridgeStation.h"
#include "testing/Broker.h"
#include "testing/Eventually.h"
#include "testing/TestFiles.h"

namespace fuel::bridge {
namespace {

using namespace std::chrono_literals;
using forecourt::Forecourt;
using forecourt::Sequence;
using fuel::test::MqttPeer;
using test::EventsOf;
using test::OneTo;
using test::ToggleFuelPoint;

constexpr char kStation[] = "s1";

class BridgeTest : public testing::Test {
  protected:
    void SetUp() override {
        broker_ = std::make_unique<fuel::test::MosquittoBroker>(setup_);
        office_ =
            std::make_unique<MqttPeer>(broker_->Port(), std::vector<std::string>{"stations/s1/#"},
                                       "office", officeUser_, officeUser_.empty() ? "" : "pw");
    }
    void TearDown() override { StopStation(); }

    void StartStation() {
        const forecourt::Config config = forecourt::LoadConfig(
            test::WriteStation(dir_.Path(), kStation, url_.empty() ? broker_->Url() : url_, extra_),
            {std::string(kSectionKind)});
        forecourt::Options options;
        options.migrations = Migrations();
        forecourt_ = std::make_unique<Forecourt>(config, options);
        forecourt_->Start();
        BridgeOptions bridgeOptions;
        bridgeOptions.reconnectMin = 50ms;
        bridgeOptions.reconnectMax = 200ms;
        bridgeOptions.window = window_;
        bridgeOptions.version = "9.8.7";
        bridge_ =
            std::make_unique<Bridge>(*forecourt_, ReadBrokerConfig(config).value(), bridgeOptions);
        bridge_->Start();
    }
    void StopStation() {
        bridge_.reset();
        forecourt_.reset();
    }

    Sequence Last() const { return forecourt_->GetJournal().LastSequence(); }
    // Every event up to n has arrived (first arrivals, whatever came twice).
    testing::AssertionResult ReceivedUpTo(Sequence n) const {
        const bool arrived = office_->WaitFor([&](const auto& messages) {
            const test::Received received = EventsOf(messages, kStation);
            return !received.firsts.empty() && received.firsts.back() >= n;
        });
        if (arrived)
            return testing::AssertionSuccess();
        const test::Received received = EventsOf(office_->Messages(), kStation);
        const BridgeStatus status = bridge_->Status();
        return testing::AssertionFailure()
               << "waited for " << n << ", received " << received.firsts.size() << " up to "
               << (received.firsts.empty() ? 0 : received.firsts.back()) << "; bridge "
               << (status.connected ? "connected" : "not connected") << ", acknowledged "
               << status.acknowledged << ", stored " << status.stored << ", published "
               << status.published << ", connections " << status.connections << ", last message \""
               << status.lastMessage << "\"";
    }
    // The station has connected and subscribed to its commands: "online" comes after both.
    bool Online() const {
        return office_->WaitFor(
            [](const auto& messages) { return test::LastStatus(messages, kStation) == "online"; });
    }
    // The reply to the command `id`, the `nth` one for that id.
    std::optional<nlohmann::json> Reply(const std::string& id, std::size_t nth = 1) const {
        std::vector<nlohmann::json> replies;
        office_->WaitFor(
            [&](const auto& messages) {
                replies.clear();
                for (const auto& message : messages) {
                    if (message.topic != ReplyTopic(kStation))
                        continue;
                    nlohmann::json reply = nlohmann::json::parse(message.payload);
                    if (reply["id"] == id)
                        replies.push_back(std::move(reply));
                }
                return replies.size() >= nth;
            },
            10s);
        if (replies.size() < nth)
            return std::nullopt;
        return replies[nth - 1];
    }
    double PriceOf(const std::string& grade) const {
        for (const forecourt::Grade& each : forecourt_->GetSnapshot().grades) {
            if (each.code == grade)
                return each.price;
        }
        return -1;
    }
    void SetPrice(const std::string& grade, double price) {
        static int key = 0;
        const forecourt::Outcome priced = Forecourt::Await([&](forecourt::Done done) {
            forecourt_->SetPrice(grade, price, {"test", "price-" + std::to_string(++key)},
                                 std::move(done));
        });
        ASSERT_TRUE(priced.Ok()) << priced.message;
    }
    static std::vector<nlohmann::json> Infos(const std::vector<MqttPeer::Message>& messages) {
        std::vector<nlohmann::json> infos;
        for (const auto& message : messages) {
            if (message.topic == InfoTopic(kStation))
                infos.push_back(nlohmann::json::parse(message.payload));
        }
        return infos;
    }
    // The journaled events received, in order of arrival, repeats included.
    std::vector<std::pair<Sequence, std::string>> Arrivals() const {
        std::vector<std::pair<Sequence, std::string>> events;
        for (const auto& message : office_->Messages()) {
            if (!message.topic.starts_with(EventTopic(kStation, "")))
                continue;
            const nlohmann::json event = nlohmann::json::parse(message.payload);
            if (!event["id"].is_null())
                events.emplace_back(event["id"].get<Sequence>(), message.payload);
        }
        return events;
    }
    int PriceEvents() const {
        int count = 0;
        for (const forecourt::Event& event : forecourt_->GetJournal().EventsAfter(0, 100000)) {
            count += event.type == forecourt::event_type::kPrice;
        }
        return count;
    }
    template <typename Predicate>
    static bool Eventually(Predicate holds) {
        return fuel::test::Eventually(holds, 10s);
    }

    fuel::test::TemporaryDirectory dir_;
    fuel::test::BrokerSetup setup_;  // before SetUp: users and their access
    std::unique_ptr<fuel::test::MosquittoBroker> broker_;
    std::string url_;         // the station's broker; empty: the plain listener
    std::string officeUser_;  // the back office logs in as this user, password "pw"
    std::unique_ptr<MqttPeer> office_;
    std::string extra_ = "groups = south\nidentity.hq = backoffice\nidentity.till = pos\n";
    std::size_t window_ = 64;
    std::unique_ptr<Forecourt> forecourt_;
    std::unique_ptr<Bridge> bridge_;
};

TEST_F(BridgeTest, EveryEventInOrderThenOfflineAtStop) {
    StartStation();
    ToggleFuelPoint(*forecourt_, 6);
    test::Fill(*forecourt_, 1.0);
    const forecourt::Outcome priced = Forecourt::Await([&](forecourt::Done done) {
        forecourt_->SetPrice("92", 49.99, {"test", "price-1"}, std::move(done));
    });
    ASSERT_TRUE(priced.Ok()) << priced.message;
    const Sequence last = Last();
    ASSERT_TRUE(ReceivedUpTo(last));

    const test::Received received = EventsOf(office_->Messages(), kStation);
    EXPECT_EQ(received.firsts, OneTo(last));
    EXPECT_EQ(received.outOfOrder, 0);
    EXPECT_EQ(received.wrongTopic, 0);
    for (const char* type : {"fuel-point", "sale", "price"}) {
        EXPECT_TRUE(received.types.contains(type)) << type;
    }
    EXPECT_EQ(test::LastStatus(office_->Messages(), kStation), "online");
    // The payload is the journal's event, and the station's id.
    nlohmann::json expected = forecourt::ToJson(forecourt_->EventsAfter(last - 1, 1).at(0));
    expected["station"] = kStation;
    bool found = false;
    for (const auto& message : office_->Messages()) {
        const nlohmann::json payload = nlohmann::json::parse(message.payload, nullptr, false);
        if (payload.is_object() && payload.value("id", nlohmann::json()) == last) {
            EXPECT_EQ(payload, expected);
            found = true;
        }
    }
    EXPECT_TRUE(found);

    bridge_->Stop();
    EXPECT_EQ(ReadPosition(forecourt_->GetJournal(), kStation), last);
    EXPECT_TRUE(office_->WaitFor(
        [](const auto& messages) { return test::LastStatus(messages, kStation) == "offline"; }));
}

// An event the broker could never take (its topic is not UTF-8: a journal written by
// something else) is told once and passed over; it holds up nothing after it.
TEST_F(BridgeTest, EventTheBrokerCannotTakeIsPassedOverOnce) {
    StartStation();
    ASSERT_TRUE(Online());
    const Sequence refused =
        forecourt_->GetJournal()
            .Write([](forecourt::WriteTransaction& t) {
                return t.AppendEvent("bad\xff", {}, std::chrono::system_clock::now());
            })
            .get();
    ToggleFuelPoint(*forecourt_, 2);
    const Sequence last = Last();
    ASSERT_TRUE(ReceivedUpTo(last));
    const test::Received received = EventsOf(office_->Messages(), kStation);
    std::vector<Sequence> expected = OneTo(last);
    std::erase(expected, refused);
    EXPECT_EQ(received.firsts, expected);
    const BridgeStatus status = bridge_->Status();
    EXPECT_EQ(status.refused, 1u);
    EXPECT_NE(status.lastMessage.find("event " + std::to_string(refused)), std::string::npos)
        << status.lastMessage;
    EXPECT_TRUE(Eventually([&] { return bridge_->Status().acknowledged == last; }));
}

TEST_F(BridgeTest, BrokerDownFromTheStartThenEverythingInOrder) {
    broker_->Stop();
    StartStation();
    ToggleFuelPoint(*forecourt_, 6);
    const Sequence backlog = Last();
    EXPECT_FALSE(bridge_->Status().connected);
    EXPECT_EQ(ReadPosition(forecourt_->GetJournal(), kStation), 0);

    broker_->Start();
    ASSERT_TRUE(ReceivedUpTo(backlog));
    ToggleFuelPoint(*forecourt_, 3);  // live, after the backlog
    const Sequence last = Last();
    ASSERT_TRUE(ReceivedUpTo(last));

    const test::Received received = EventsOf(office_->Messages(), kStation);
    EXPECT_EQ(received.firsts, OneTo(last));
    EXPECT_EQ(received.outOfOrder, 0);
    EXPECT_TRUE(
        Eventually([&] { return ReadPosition(forecourt_->GetJournal(), kStation) == last; }));
}

TEST_F(BridgeTest, BrokerOutageInTheMiddleLosesNothing) {
    StartStation();
    ToggleFuelPoint(*forecourt_, 4);
    ASSERT_TRUE(ReceivedUpTo(Last()));

    broker_->Stop();
    test::Fill(*forecourt_, 1.0);
    ToggleFuelPoint(*forecourt_, 4);
    test::Fill(*forecourt_, 0.5);
    broker_->Start();
    ToggleFuelPoint(*forecourt_, 2);
    const Sequence last = Last();
    ASSERT_TRUE(ReceivedUpTo(last));

    const test::Received received = EventsOf(office_->Messages(), kStation);
    EXPECT_EQ(received.firsts, OneTo(last));
    EXPECT_EQ(received.outOfOrder, 0);
    EXPECT_GE(bridge_->Status().connections, 2u);
}

TEST_F(BridgeTest, RestartRepublishesNothingAcknowledged) {
    StartStation();
    ToggleFuelPoint(*forecourt_, 5);
    const Sequence before = Last();
    ASSERT_TRUE(ReceivedUpTo(before));
    bridge_->Stop();
    ASSERT_EQ(ReadPosition(forecourt_->GetJournal(), kStation), before);

    office_->Clear();
    bridge_ = std::make_unique<Bridge>(*forecourt_,
                                       ReadBrokerConfig(forecourt_->Configuration()).value());
    bridge_->Start();
    ToggleFuelPoint(*forecourt_, 2);
    ASSERT_TRUE(ReceivedUpTo(Last()));
    const test::Received received = EventsOf(office_->Messages(), kStation);
    ASSERT_FALSE(received.firsts.empty());
    EXPECT_EQ(received.firsts.front(), before + 1);
    EXPECT_EQ(received.repeats, 0);
}

class BridgeProgressTest : public BridgeTest, public testing::WithParamInterface<bool> {};

TEST_P(BridgeProgressTest, FillProgressOnlyWhenAskedAndWithoutSequence) {
    const bool progress = GetParam();
    extra_ += progress ? "progress = yes\n" : "progress = no\n";
    StartStation();
    test::Fill(*forecourt_, 3.0);
    ASSERT_TRUE(ReceivedUpTo(Last()));
    int progressMessages = 0;
    for (const auto& message : office_->Messages()) {
        if (message.topic != EventTopic(kStation, forecourt::event_type::kFillProgress))
            continue;
        ++progressMessages;
        EXPECT_TRUE(nlohmann::json::parse(message.payload).at("id").is_null());
    }
    if (progress) {
        EXPECT_GT(progressMessages, 0);
    } else {
        EXPECT_EQ(progressMessages, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(YesNo, BridgeProgressTest, testing::Bool());

struct CommandCase {
    const char* what;
    std::string topic;
    std::string payload;
    std::string id;
    std::size_t nth;  // the how-manieth reply to this id
    std::string status;
    std::string reason;
    bool replayed;
    double price95;  // the grade's price afterwards
};

TEST_F(BridgeTest, PriceCommands) {
    StartStation();
    ASSERT_TRUE(Online());
    const std::string hq = StationCommandTopic(kStation, "hq");
    const std::vector<CommandCase> cases = {
        {"backoffice", hq, R"({"id":"c1","grade":"95","price":46.1})", "c1", 1, "ok", "", false,
         46.1},
        {"same id again", hq, R"({"id":"c1","grade":"95","price":46.1})", "c1", 2, "ok", "", true,
         46.1},
        {"unknown grade", hq, R"({"id":"c4","grade":"98","price":50})", "c4", 1, "not-found",
         "no-such-grade", false, 46.1},
        {"group of the station", GroupCommandTopic("south", "hq"),
         R"({"id":"c6","grade":"95","price":46.2})", "c6", 1, "ok", "", false, 46.2},
    };
    for (const CommandCase& c : cases) {
        ASSERT_TRUE(office_->Publish(c.topic, c.payload)) << c.what;
        const std::optional<nlohmann::json> reply = Reply(c.id, c.nth);
        ASSERT_TRUE(reply) << c.what << ": no reply";
        EXPECT_EQ((*reply)["status"], c.status) << c.what << ": " << reply->dump();
        EXPECT_EQ(reply->value("reason", ""), c.reason) << c.what << ": " << reply->dump();
        EXPECT_EQ((*reply)["replayed"], c.replayed) << c.what;
        EXPECT_EQ((*reply)["station"], kStation) << c.what;
        EXPECT_DOUBLE_EQ(PriceOf("95"), c.price95) << c.what;
    }
    // A group the station is not in never reaches it: the next command's reply comes, this
    // one's does not.
    ASSERT_TRUE(office_->Publish(GroupCommandTopic("north", "hq"),
                                 R"({"id":"c7","grade":"95","price":9.99})"));
    ASSERT_TRUE(office_->Publish(hq, R"({"id":"c8","grade":"92","price":49.5})"));
    ASSERT_TRUE(Reply("c8"));
    for (const auto& message : office_->Messages()) {
        EXPECT_EQ(message.payload.find("\"c7\""), std::string::npos) << message.payload;
    }
    EXPECT_DOUBLE_EQ(PriceOf("95"), 46.2);
    EXPECT_EQ(PriceEvents(), 3);  // c1, c6, c8
}

TEST_F(BridgeTest, CommandIdIsAppliedOnceAcrossARestart) {
    StartStation();
    ASSERT_TRUE(Online());
    const std::string hq = StationCommandTopic(kStation, "hq");
    const std::string command = R"({"id":"once","grade":"95","price":47.25})";
    ASSERT_TRUE(office_->Publish(hq, command));
    ASSERT_TRUE(Reply("once"));
    StopStation();
    StartStation();
    ASSERT_TRUE(office_->Publish(hq, command));
    const std::optional<nlohmann::json> again = Reply("once", 2);
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)["status"], "ok");
    EXPECT_EQ((*again)["replayed"], true);
    EXPECT_EQ(PriceEvents(), 1);
    EXPECT_DOUBLE_EQ(PriceOf("95"), 47.25);
}

// A broker that knows its users: the station logs in with a user and password, and the
// access control ties a command's identity level to the user who sent it.
class BridgeAccessTest : public BridgeTest {
  protected:
    BridgeAccessTest() {
        setup_.users = {{"station-s1", "pw"}, {"hq", "pw"}, {"till", "pw"}};
        setup_.acl =
            "user station-s1\n"
            "topic readwrite stations/s1/#\n"
            "topic read groups/south/commands/#\n"
            "user hq\n"
            "topic read stations/#\n"
            "pattern write stations/+/commands/price/%u\n"
            "pattern write groups/+/commands/price/%u\n";
        officeUser_ = "hq";
        extra_ += "user = station-s1\npassword = pw\n";
    }
};

TEST_F(BridgeAccessTest, IdentityIsTheSendersOwn) {
    StartStation();
    ASSERT_TRUE(Online());
    {
        // The broker refuses a command whose identity level is not the sender's user (and
        // mosquitto drops the sender's connection for it).
        MqttPeer spoofer(broker_->Port(), {}, "spoofer", "till", "pw");
        spoofer.Publish(StationCommandTopic(kStation, "hq"),
                        R"({"id":"spoofed","grade":"95","price":1.5})", 2s);
    }
    MqttPeer till(broker_->Port(), {}, "till", "till", "pw");
    ASSERT_TRUE(till.Publish(StationCommandTopic(kStation, "till"),
                             R"({"id":"t1","grade":"95","price":1.5})"));
    const std::optional<nlohmann::json> refused = Reply("t1");
    ASSERT_TRUE(refused);
    EXPECT_EQ((*refused)["reason"], "role-may-not-set-prices");
    ASSERT_TRUE(office_->Publish(StationCommandTopic(kStation, "hq"),
                                 R"({"id":"h1","grade":"95","price":46.75})"));
    const std::optional<nlohmann::json> applied = Reply("h1");
    ASSERT_TRUE(applied);
    EXPECT_EQ((*applied)["status"], "ok");
    for (const auto& message : office_->Messages()) {
        EXPECT_EQ(message.payload.find("spoofed"), std::string::npos) << message.payload;
    }
    EXPECT_EQ(PriceEvents(), 1);
    EXPECT_DOUBLE_EQ(PriceOf("95"), 46.75);
}

class BridgeTlsTest : public BridgeTest {
  protected:
    BridgeTlsTest() { setup_.tlsClients = {"station-s1"}; }
};

TEST_F(BridgeTlsTest, ClientCertificateOverMqtts) {
    const std::filesystem::path& tls = broker_->Directory();
    url_ = "mqtts://127.0.0.1:" + std::to_string(broker_->TlsPort());
    extra_ += "ca = " + (tls / "ca.pem").string() +
              "\ncertificate = " + (tls / "station-s1.pem").string() +
              "\nkey = " + (tls / "station-s1.key").string() + "\n";
    StartStation();
    ToggleFuelPoint(*forecourt_, 2);
    ASSERT_TRUE(ReceivedUpTo(Last()));
    EXPECT_EQ(EventsOf(office_->Messages(), kStation).firsts, OneTo(Last()));
}

TEST_F(BridgeTest, StationInfoRetainedAndRepublishedOnlyWhenItChanges) {
    StartStation();
    ASSERT_TRUE(Online());
    const nlohmann::json expected = {
        {"station", kStation},
        {"groups", {"south"}},
        {"version", "9.8.7"},
        {"grades",
         {{{"code", "95"}, {"name", "Super 95"}, {"price", 45.67}},
          {{"code", "92"}, {"name", "Regular 92"}, {"price", 48.17}}}},
        {"fuelPoints",
         {{{"id", 1},
           {"nozzles", {{{"number", 1}, {"grade", "95"}}, {{"number", 2}, {"grade", "92"}}}}}}}};
    ASSERT_EQ(Infos(office_->Messages()).size(), 1u);
    EXPECT_EQ(Infos(office_->Messages())[0], expected);
    {
        MqttPeer late(broker_->Port(), {InfoTopic(kStation)}, "late");
        ASSERT_TRUE(late.WaitFor([](const auto& messages) { return !messages.empty(); }));
        EXPECT_TRUE(late.Messages()[0].retain);
        EXPECT_EQ(nlohmann::json::parse(late.Messages()[0].payload), expected);
    }

    SetPrice("92", 49.99);
    ASSERT_TRUE(office_->WaitFor([](const auto& messages) { return Infos(messages).size() == 2; }));
    nlohmann::json changed = expected;
    changed["grades"][1]["price"] = 49.99;
    EXPECT_EQ(Infos(office_->Messages())[1], changed);
    // The same price again is a price event, and the same info: not sent again. The events
    // after it arrive after anything sent with it.
    SetPrice("92", 49.99);
    ToggleFuelPoint(*forecourt_, 1);
    ASSERT_TRUE(ReceivedUpTo(Last()));
    EXPECT_EQ(Infos(office_->Messages()).size(), 2u);
}

// A small window, so that a replay goes out a few events at a time beside live ones.
TEST_F(BridgeTest, ReplayResendsTheRangeInOrderAsFirstPublishedBesideLiveEvents) {
    window_ = 4;
    StartStation();
    ToggleFuelPoint(*forecourt_, 12);
    const Sequence before = Last();
    ASSERT_TRUE(ReceivedUpTo(before));
    std::map<Sequence, std::string> first;
    for (const auto& [sequence, payload] : Arrivals())
        first.emplace(sequence, payload);
    office_->Clear();

    ASSERT_TRUE(
        office_->Publish(ReplayCommandTopic(kStation, "hq"), R"({"id":"r1","from":3,"to":11})"));
    ToggleFuelPoint(*forecourt_, 3);
    const std::optional<nlohmann::json> reply = Reply("r1");
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["command"], "replay");
    EXPECT_EQ((*reply)["status"], "applied") << reply->dump();
    // "last" is the journal's end when the replay was done, live events still coming.
    nlohmann::json data = (*reply)["data"];
    EXPECT_GE(data.value("last", Sequence{0}), before) << data.dump();
    EXPECT_LE(data.value("last", Sequence{0}), Last()) << data.dump();
    data.erase("last");
    EXPECT_EQ(data, (nlohmann::json{{"from", 3}, {"to", 11}, {"oldest", 1}}));
    ASSERT_TRUE(ReceivedUpTo(Last()));

    std::vector<Sequence> replayed;
    std::vector<Sequence> live;
    for (const auto& [sequence, payload] : Arrivals()) {
        if (sequence <= before) {
            replayed.push_back(sequence);
            EXPECT_EQ(payload, first.at(sequence)) << sequence;
        } else {
            live.push_back(sequence);
        }
    }
    EXPECT_EQ(replayed, (std::vector<Sequence>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(live, (std::vector<Sequence>{before + 1, before + 2, before + 3}));
    // The reply comes once the broker has every event of the replay.
    const auto messages = office_->Messages();
    std::size_t replyAt = 0;
    std::size_t lastReplayedAt = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].topic == ReplyTopic(kStation))
            replyAt = i;
        if (messages[i].payload.find("\"id\":11,") != std::string::npos)
            lastReplayedAt = i;
    }
    EXPECT_LT(lastReplayedAt, replyAt);
    EXPECT_EQ(bridge_->Status().replayed, 9u);
    EXPECT_TRUE(Eventually([&] {
        return bridge_->Status().acknowledged == Last() &&
               ReadPosition(forecourt_->GetJournal(), kStation) == Last();
    }));
}

struct ReplayCase {
    const char* what;
    std::string identity;
    std::string payload;
    std::string sent;  // the sequences that arrive, "5 6"
    std::string status;
    std::string reason;
    nlohmann::json data;
};

// Events 1..4 let go of, as the retention does with old ones.
TEST_F(BridgeTest, ReplaysAnsweredForWhatIsKeptAndRefused) {
    StartStation();
    ToggleFuelPoint(*forecourt_, 8);
    ASSERT_TRUE(ReceivedUpTo(Last()));
    forecourt_->GetJournal()
        .Write([](forecourt::WriteTransaction& t) {
            t.Db().Execute("DELETE FROM events WHERE seq <= 4");
        })
        .get();
    const Sequence last = Last();
    const auto range = [last](Sequence from, Sequence to, Sequence oldest) {
        return nlohmann::json{{"from", from}, {"to", to}, {"oldest", oldest}, {"last", last}};
    };
    const std::vector<ReplayCase> cases = {
        ReplayCase{"kept in part", "hq", R"({"id":"p1","from":2,"to":6})", "5 6", "applied", "",
                   range(5, 6, 5)},
        ReplayCase{"the same id again", "hq", R"({"id":"p1","from":2,"to":6})", "5 6", "applied",
                   "", range(5, 6, 5)},
        ReplayCase{"none kept", "hq", R"({"id":"p2","from":1,"to":4})", "", "failed", "not-kept",
                   range(1, 4, 5)},
        ReplayCase{"any role reads", "till", R"({"id":"p3","from":8,"to":8})", "8", "applied", "",
                   range(8, 8, 5)},
        ReplayCase{"stranger", "mallory", R"({"id":"p4","from":5,"to":6})", "", "forbidden",
                   "unknown-identity", nullptr},
        ReplayCase{"from a string", "hq", R"({"id":"p5","from":"5","to":6})", "", "invalid",
                   "bad-request", nullptr},
        ReplayCase{"cut at the journal's end", "hq",
                   R"({"id":"p7","to":1000,"from":)" + std::to_string(last - 1) + "}",
                   std::to_string(last - 1) + " " + std::to_string(last), "applied", "",
                   range(last - 1, last, 5)},
        ReplayCase{"after the journal's end", "hq",
                   R"({"id":"p8","to":1000,"from":)" + std::to_string(last + 1) + "}", "",
                   "applied", "", range(last + 1, last, 5)},
    };
    for (const ReplayCase& c : cases) {
        office_->Clear();
        ASSERT_TRUE(office_->Publish(ReplayCommandTopic(kStation, c.identity), c.payload));
        const std::optional<nlohmann::json> reply =
            Reply(nlohmann::json::parse(c.payload)["id"].get<std::string>());
        ASSERT_TRUE(reply) << c.what << ": no reply";
        EXPECT_EQ((*reply)["command"], "replay") << c.what;
        EXPECT_EQ((*reply)["status"], c.status) << c.what << ": " << reply->dump();
        EXPECT_EQ(reply->value("reason", ""), c.reason) << c.what << ": " << reply->dump();
        EXPECT_EQ((*reply)["data"], c.data) << c.what << ": " << reply->dump();
        std::string sent;
        for (const auto& [sequence, payload] : Arrivals())
            sent += (sent.empty() ? "" : " ") + std::to_string(sequence);
        EXPECT_EQ(sent, c.sent) << c.what;
        // Events sent again move nothing of the position.
        EXPECT_EQ(bridge_->Status().acknowledged, Last()) << c.what;
    }
}

}  // namespace
}  // namespace fuel::bridge
