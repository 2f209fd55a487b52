// Stations as processes of their own (the test program bridge_test_station: a forecourt on
// the embedded emulator and its bridge), one broker, one back office: two stations at once,
// a command to their group, and a station killed with SIGKILL.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "bridge/Topics.h"
#include "forecourt/Database.h"
#include "testing/Broker.h"
#include "testing/TestFiles.h"
#include "tests/bridge/BridgeTestSupport.h"

extern char** environ;

namespace fuel::bridge {
namespace {

using namespace std::chrono_literals;
using forecourt::Sequence;
using fuel::test::MqttPeer;
using test::EventsOf;
using test::OneTo;

// One station process; its "ready N" line read from its standard output.
class Station {
  public:
    Station(const std::filesystem::path& config, int fills, int toggles) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string program = BRIDGE_TEST_STATION;
        const std::string file = config.string();
        const std::string fillCount = std::to_string(fills);
        const std::string toggleCount = std::to_string(toggles);
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(file.c_str()),
                        const_cast<char*>(fillCount.c_str()),
                        const_cast<char*>(toggleCount.c_str()), nullptr};
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = out[0];
        if (spawned != 0)
            throw std::runtime_error("cannot start " + program);
    }
    ~Station() {
        if (pid_ > 0)
            Kill(SIGTERM);
        ::close(output_);
    }

    // The journal's last sequence once the station has made its events; 0 when it failed.
    Sequence Ready() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{output_, POLLIN, 0};
            if (::poll(&readable, 1, 1000) <= 0)
                continue;
            char c = 0;
            if (::read(output_, &c, 1) != 1)
                return 0;
            if (c != '\n') {
                line += c;
            } else if (line.starts_with("ready ")) {
                return std::stoll(line.substr(6));
            } else {
                line.clear();
            }
        }
        return 0;
    }

    void Kill(int signal) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
};

Sequence StoredPosition(const std::filesystem::path& dir, const std::string& station) {
    forecourt::Connection db(dir / "station.db", forecourt::Connection::Mode::ReadOnly);
    forecourt::Statement& select =
        db.Prepare("SELECT sequence FROM mqtt_published WHERE station = ?1");
    select.Bind(1, station);
    const Sequence position = select.Step() ? select.Integer(0) : 0;
    select.Reset();
    return position;
}

constexpr char kOffice[] = "groups = south\nidentity.hq = backoffice\n";

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

TEST_F(StationsTest, TwoStationsInOrderAndAGroupCommandAppliedOnceEach) {
    fuel::test::TemporaryDirectory dirA, dirB;
    Station a(test::WriteStation(dirA.Path(), "a", broker_.Url(), kOffice), 3, 4);
    Station b(test::WriteStation(dirB.Path(), "b", broker_.Url(), kOffice), 3, 4);
    const Sequence lastA = a.Ready();
    const Sequence lastB = b.Ready();
    ASSERT_GT(lastA, 0);
    ASSERT_GT(lastB, 0);
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
            count += nlohmann::json::parse(message.payload)["data"]["grade"]["code"] == grade;
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
                nlohmann::json::parse(message.payload)["id"] == "g1") {
                ++replies;
            }
        }
        EXPECT_GE(replies, 1) << station;
    }
}

TEST_F(StationsTest, KilledBetweenCommitAndPublicationPublishesOnceAfterRestart) {
    fuel::test::TemporaryDirectory dir;
    const auto config = test::WriteStation(dir.Path(), "k", broker_.Url(), kOffice);
    broker_.Stop();
    Sequence committed = 0;
    {
        Station station(config, 2, 3);
        committed = station.Ready();
        ASSERT_GT(committed, 0);
        station.Kill(SIGKILL);  // committed, never published
    }
    EXPECT_EQ(StoredPosition(dir.Path(), "k"), 0);
    broker_.Start();

    Sequence last = 0;
    {
        Station station(config, 0, 0);
        last = station.Ready();
        ASSERT_GE(last, committed);
        ASSERT_TRUE(ReceivedUpTo("k", last));
        const test::Received received = EventsOf(office_->Messages(), "k");
        EXPECT_EQ(received.firsts, OneTo(last));
        EXPECT_EQ(received.repeats, 0);
        EXPECT_EQ(received.outOfOrder, 0);
        // Acknowledged and recorded: then killed again.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (StoredPosition(dir.Path(), "k") < last &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(StoredPosition(dir.Path(), "k"), last);
        station.Kill(SIGKILL);
    }
    // The broker tells the back office that the station is gone: its last will.
    EXPECT_TRUE(office_->WaitFor(
        [](const auto& messages) { return test::LastStatus(messages, "k") == "offline"; }));

    office_->Clear();
    Station station(config, 0, 2);
    const Sequence after = station.Ready();
    ASSERT_TRUE(ReceivedUpTo("k", after));
    const test::Received received = EventsOf(office_->Messages(), "k");
    ASSERT_FALSE(received.firsts.empty());
    EXPECT_EQ(received.firsts.front(), last + 1);  // nothing acknowledged came again
    EXPECT_EQ(received.firsts.back(), after);
    EXPECT_EQ(received.repeats, 0);
}

}  // namespace
}  // namespace fuel::bridge
