// The server on a loopback port in this process, against the example station, through a
// client made with nothing but an HTTP library: the event streams fed by the hub (resume, a
// client too slow to keep up, the goodbye when the server stops), /healthz and /metrics. The
// listener's limits and TLS are the HTTP stack's, tested in tests/http.
#include "server/Server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <thread>

#include "tests/server/ServerTestSupport.h"

namespace fuel::test {
namespace {

using namespace std::chrono_literals;

nlohmann::json Parse(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

// The station without customers: nothing moves unless a test moves it.
class ServerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { station_ = new Station(false); }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }
    static Station& S() { return *station_; }

    static server::ServerSettings Quick() {
        server::ServerSettings settings;
        settings.requestTimeout = 500ms;
        settings.heartbeat = 200ms;
        return settings;
    }

    // Two events in the journal: the fuel point closed and opened again.
    static void CloseAndOpen(HttpClient& client, int fuelPoint) {
        static int key = 0;
        for (const char* what : {"close", "open"}) {
            const HttpAnswer answer =
                client.Send("POST", "/api/v1/fuel-points/" + std::to_string(fuelPoint) + "/" + what,
                            {{"Authorization", S().Bearer("backoffice1")},
                             {"Idempotency-Key", "close-open-" + std::to_string(++key)}});
            ASSERT_EQ(answer.status, 200) << answer.body;
        }
    }

    static Station* station_;
};

Station* ServerTest::station_ = nullptr;

TEST_F(ServerTest, ResumesAStreamAfterTheEventGivenAndThenGoesOnLive) {
    RunningServer server(S(), Quick());
    HttpClient client(server.Port());
    CloseAndOpen(client, 2);
    const forecourt::Sequence start = S().Forecourt().GetJournal().LastSequence() - 2;
    const Headers viewer = {{"Authorization", S().Bearer("viewer1")}};
    EventStreamClient stream(server.Port(), "/api/v1/events?since=" + std::to_string(start),
                             viewer);
    ASSERT_EQ(stream.Status(), 200);
    std::vector<forecourt::Sequence> seen;
    for (int i = 0; i < 2; ++i) {
        const auto event = stream.Next(5000ms);
        ASSERT_TRUE(event.has_value());
        seen.push_back(event->id.value_or(-1));
        EXPECT_EQ(event->type, "fuel-point");
        const auto data = Parse(event->data);
        EXPECT_EQ(data["id"], event->id.value_or(-1));
        EXPECT_EQ(data["data"]["id"], 2);
    }
    EXPECT_EQ(seen, (std::vector<forecourt::Sequence>{start + 1, start + 2}));
    CloseAndOpen(client, 3);  // live now
    for (int i = 0; i < 2; ++i) {
        const auto event = stream.Next(5000ms);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->id, start + 3 + i);
        EXPECT_EQ(Parse(event->data)["data"]["id"], 3);
    }
    // A browser's reconnection: Last-Event-ID wins over the address's since.
    Headers resume = viewer;
    resume.emplace_back("Last-Event-ID", std::to_string(start + 3));
    EventStreamClient again(server.Port(), "/api/v1/events?since=" + std::to_string(start), resume);
    const auto next = again.Next(5000ms);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->id, start + 4);
}

TEST_F(ServerTest, CarriesTheSameEventsOnAWebSocket) {
    RunningServer server(S(), Quick());
    HttpClient client(server.Port());
    CloseAndOpen(client, 1);
    const forecourt::Sequence start = S().Forecourt().GetJournal().LastSequence() - 2;
    WebSocketClient socket(server.Port(), "/api/v1/ws?since=" + std::to_string(start),
                           {{"Authorization", S().Bearer("viewer1")}});
    ASSERT_TRUE(socket.Open());
    const std::vector<forecourt::Event> journal = S().Forecourt().EventsAfter(start, 2);
    ASSERT_EQ(journal.size(), 2u);
    for (const forecourt::Event& expected : journal) {
        const auto message = socket.Next(5000ms);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(Parse(*message), forecourt::ToJson(expected));
    }
    // A browser's WebSocket cannot send headers: the token goes in the address.
    WebSocketClient browser(
        server.Port(),
        "/api/v1/ws?since=" + std::to_string(start) + "&access_token=" + S().Token("viewer1"), {});
    ASSERT_TRUE(browser.Open());
    const auto first = browser.Next(5000ms);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(Parse(*first)["id"], start + 1);
    WebSocketClient stranger(server.Port(), "/api/v1/ws", {});
    EXPECT_FALSE(stranger.Open());
    EXPECT_EQ(stranger.Status(), 401);
}

TEST_F(ServerTest, TellsItsEventStreamsThatItStops) {
    RunningServer server(S(), Quick());
    EventStreamClient stream(server.Port(), "/api/v1/events",
                             {{"Authorization", S().Bearer("viewer1")}});
    ASSERT_EQ(stream.Status(), 200);
    std::thread stopper([&] { server.Get().Stop(); });
    const auto last = stream.Next(5000ms);
    stopper.join();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->type, "error");
    EXPECT_EQ(Parse(last->data)["error"]["code"], "shutdown");
    EXPECT_FALSE(stream.Next(1000ms).has_value());
    EXPECT_TRUE(stream.Ended());
    EXPECT_EQ(server.Get().Counters().eventStreams.load(), 0);
}

TEST_F(ServerTest, RefusesAStreamWithoutAToken) {
    RunningServer server(S(), Quick());
    EventStreamClient stream(server.Port(), "/api/v1/events", {});
    EXPECT_EQ(stream.Status(), 401);
    EXPECT_NE(stream.Body().find("no-token"), std::string::npos);
}

// The token is revoked as its command does it, in the journal, while the streams run: they
// end within seconds with the reason, and the token opens no new one.
TEST_F(ServerTest, EndsARevokedTokensStreamsWithinSeconds) {
    const std::string token = S().Tokens().Add("watcher", server::Role::Viewer);
    RunningServer server(S(), Quick());
    EventStreamClient stream(server.Port(), "/api/v1/events?access_token=" + token, {});
    ASSERT_EQ(stream.Status(), 200);
    WebSocketClient socket(server.Port(), "/api/v1/ws", {{"Authorization", "Bearer " + token}});
    ASSERT_TRUE(socket.Open());
    S().Tokens().Revoke("watcher");
    const auto revoked = std::chrono::steady_clock::now();

    std::optional<SseEvent> last;
    while (!stream.Ended() && std::chrono::steady_clock::now() - revoked < 10s) {
        if (auto event = stream.Next(500ms); event && event->type == "error")
            last = event;
    }
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(Parse(last->data)["error"]["code"], "revoked");
    while (socket.CloseCode() == 0 && std::chrono::steady_clock::now() - revoked < 10s)
        socket.Next(500ms);
    EXPECT_EQ(socket.CloseCode(), 1008);
    const auto took = std::chrono::steady_clock::now() - revoked;
    EXPECT_LT(took, server::ServerSettings{}.credentialCheck + 2s);
    RecordProperty(
        "revoked_stream_end_ms",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EventStreamClient again(server.Port(), "/api/v1/events?access_token=" + token, {});
    EXPECT_EQ(again.Status(), 401);
}

// Each event route has its transport, and every request one Host and each parameter once;
// the answers come through the listener as they are decided.
TEST_F(ServerTest, AnswersEachEventRouteOnlyWithItsTransportAndRequestsWithOneHost) {
    RunningServer server(S(), Quick());
    const std::string bearer = "Authorization: " + S().Bearer("viewer1") + "\r\n";
    const std::string handshake =
        "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    struct Case {
        const char* what;
        std::string request;
        const char* status;
    };
    const Case cases[] = {
        {"a WebSocket asked for with Upgrade alone",
         "GET /api/v1/ws HTTP/1.1\r\nHost: x\r\n" + bearer + "Upgrade: websocket\r\n",
         "HTTP/1.1 426 "},
        {"a WebSocket asked for as a plain GET", "GET /api/v1/ws HTTP/1.1\r\nHost: x\r\n" + bearer,
         "HTTP/1.1 426 "},
        {"Server-Sent Events asked for with a WebSocket handshake",
         "GET /api/v1/events HTTP/1.1\r\nHost: x\r\n" + bearer + handshake, "HTTP/1.1 400 "},
        {"no Host", "GET /healthz HTTP/1.1\r\n", "HTTP/1.1 400 "},
        {"two Hosts", "GET /healthz HTTP/1.1\r\nHost: x\r\nHost: y\r\n", "HTTP/1.1 400 "},
        {"limit twice", "GET /api/v1/sales?limit=1&limit=5000 HTTP/1.1\r\nHost: x\r\n" + bearer,
         "HTTP/1.1 400 "},
        {"a WebSocket, rightly asked for",
         "GET /api/v1/ws HTTP/1.1\r\nHost: x\r\n" + bearer + handshake, "HTTP/1.1 101 "},
        {"Server-Sent Events, rightly asked for",
         "GET /api/v1/events HTTP/1.1\r\nHost: x\r\n" + bearer, "HTTP/1.1 200 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string answer =
            RawExchange(server.Port(), c.request + "Connection: close\r\n\r\n", 1000ms);
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 300);
        const bool stream = std::string(c.status) == "HTTP/1.1 200 ";
        EXPECT_EQ(answer.find("text/event-stream") != std::string::npos, stream);
    }
}

TEST_F(ServerTest, ReportsHealthAndCountersOverHttp) {
    RunningServer server(S(), Quick());
    HttpClient client(server.Port());
    const HttpAnswer health = client.Send("GET", "/healthz");
    ASSERT_EQ(health.status, 200) << health.body;
    EXPECT_EQ(health.Json()["status"], "ok");
    EXPECT_EQ(health.Json()["lines"][0]["up"], true);
    EventStreamClient stream(server.Port(), "/api/v1/events",
                             {{"Authorization", S().Bearer("viewer1")}});
    const HttpAnswer metrics =
        client.Send("GET", "/metrics", {{"Authorization", S().Bearer("viewer1")}});
    ASSERT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.Header("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    for (const char* sample :
         {"\nfuel_line_exchanges_total{line=\"forecourt\"} ", "\nfuel_line_poll_cycle_seconds{",
          "\nfuel_point_state{fuel_point=\"1\",state=\"IDLE\"} 1\n",
          "\nfuel_server_clients{kind=\"events\"} 1\n", "\nfuel_server_events_published_total "}) {
        EXPECT_NE(metrics.body.find(sample), std::string::npos) << sample;
    }
}

}  // namespace

// ---- With customers: fills run, and events come many a second.

class BusyServerTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { station_ = new Station(true); }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }
    static Station* station_;
};

Station* BusyServerTest::station_ = nullptr;

// A client that stops reading: the server's queue for it fills, and it is disconnected with
// the reason while another client receives every event.
TEST_F(BusyServerTest, DropsAClientThatStopsReadingAndTellsItWhy) {
    server::ServerSettings settings;
    settings.clientQueue = 4;
    settings.streamSendBuffer = 4096;
    RunningServer server(*station_, settings);
    const std::string token = station_->Token("pos1");

    // The slow one: a tiny receive window, and it reads nothing.
    const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
    const int tiny = 2048;
    ::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request =
        "GET /api/v1/events HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    ASSERT_EQ(::write(slow, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    EventStreamClient quick(server.Port(), "/api/v1/events",
                            {{"Authorization", "Bearer " + token}});
    ASSERT_EQ(quick.Status(), 200);
    HttpClient client(server.Port());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int key = 0;
    std::vector<forecourt::Sequence> journaled;
    std::optional<forecourt::Sequence> first;
    const auto dropped = [&] {
        const HttpAnswer metrics =
            client.Send("GET", "/metrics", {{"Authorization", "Bearer " + token}});
        return metrics.body.find("\nfuel_server_clients_dropped_total 1\n") != std::string::npos;
    };
    while (!dropped() && std::chrono::steady_clock::now() < deadline) {
        for (int fp = 1; fp <= 3; ++fp) {
            client.Send("POST", "/api/v1/fuel-points/" + std::to_string(fp) + "/authorise",
                        {{"Authorization", "Bearer " + token},
                         {"Idempotency-Key", "busy-" + std::to_string(++key)}},
                        R"({"preset":{"kind":"volume","value":2}})");
        }
        while (const auto event = quick.Next(100ms)) {
            if (event->id) {
                if (!first)
                    first = *event->id;
                journaled.push_back(*event->id);
            }
        }
    }
    ASSERT_TRUE(dropped());

    // It reads at last: what was under way, then why it is out, then the end.
    const timeval patience{10, 0};
    ::setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string received;
    std::array<char, 4096> chunk{};
    for (ssize_t n; (n = ::read(slow, chunk.data(), chunk.size())) > 0;)
        received.append(chunk.data(), static_cast<std::size_t>(n));
    ::close(slow);
    // The reason is the last event.
    const std::size_t reason =
        received.rfind("event: error\ndata: {\"error\":{\"code\":\"too-slow\"");
    ASSERT_NE(reason, std::string::npos)
        << received.substr(received.size() > 300 ? received.size() - 300 : 0);
    EXPECT_EQ(reason, received.rfind("event: "))
        << received.substr(received.size() > 300 ? received.size() - 300 : 0);

    // The quick one got every journaled event from its first on, in order.
    ASSERT_TRUE(first.has_value());
    std::vector<forecourt::Sequence> expected;
    for (const auto& event : station_->Forecourt().EventsAfter(*first - 1, 100000)) {
        if (event.sequence <= journaled.back())
            expected.push_back(event.sequence);
    }
    EXPECT_EQ(journaled, expected);
}

// The lines' poll cycles completed so far, over every line.
std::uint64_t Cycles(forecourt::Forecourt& forecourt) {
    std::uint64_t cycles = 0;
    for (const forecourt::LineHealth& line : forecourt.Health())
        cycles += line.cycles;
    return cycles;
}

// Readers never wait in the lines' queues: eight viewers reading totals and reconciliations
// as fast as they are answered leave the poll cycle as it is idle, and a till's stop in the
// middle of a fill is answered within a cycle.
TEST_F(BusyServerTest, KeepsThePollCycleAndAStopsAnswerUnderEightReaders) {
    // A station of its own: the suite's has sales left unpaid on its pumps.
    Station station(true);
    RunningServer server(station, {});
    forecourt::Forecourt& forecourt = station.Forecourt();
    // Cycles a second, timed over whole cycles from one cycle's end.
    const auto rate = [&] {
        constexpr std::uint64_t kCycles = 8;
        const auto wait = [&](std::uint64_t count) {
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            while (Cycles(forecourt) < count && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(2ms);
            return std::chrono::steady_clock::now();
        };
        const std::uint64_t first = Cycles(forecourt) + 1;
        const auto start = wait(first);
        const std::chrono::duration<double> took = wait(first + kCycles) - start;
        return static_cast<double>(kCycles) / took.count();
    };
    HttpClient till(server.Port());
    const Headers pos = {{"Authorization", station.Bearer("pos1")}};
    const auto authorise = [&](const std::string& key) {
        Headers headers = pos;
        headers.emplace_back("Idempotency-Key", key);
        return till.Send("POST", "/api/v1/fuel-points/1/authorise", headers,
                         R"({"preset":{"kind":"money","value":900}})");
    };
    const auto stopIn = [&](const std::string& key) {
        Headers headers = pos;
        headers.emplace_back("Idempotency-Key", key);
        const auto asked = std::chrono::steady_clock::now();
        const HttpAnswer answer = till.Send("POST", "/api/v1/fuel-points/1/stop", headers);
        EXPECT_EQ(answer.status, 200) << answer.body;
        return std::chrono::steady_clock::now() - asked;
    };
    ASSERT_TRUE(WaitForState(forecourt, 1, "IDLE", 30s));
    ASSERT_EQ(authorise("viewers-idle").status, 200);
    ASSERT_TRUE(WaitForState(forecourt, 1, "FUELLING", 30s));
    const double idle = rate();
    const auto idleStop = stopIn("viewers-stop-idle");
    ASSERT_TRUE(WaitForState(forecourt, 1, "IDLE", 30s));

    std::atomic<bool> reading{true};
    std::atomic<int> answered{0};
    std::vector<std::thread> viewers;
    for (int i = 0; i < 8; ++i) {
        viewers.emplace_back([&, i] {
            // The viewers stand for clients on other machines: their own work here is not
            // the station's, and takes the processor after it.
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
            HttpClient viewer(server.Port());
            const Headers bearer = {{"Authorization", station.Bearer("viewer1")}};
            while (reading) {
                const std::string target =
                    i % 2 == 0 ? "/api/v1/fuel-points/" + std::to_string(i / 2 + 1) + "/totals"
                               : "/api/v1/reconciliation?from=2000-01-01T00:00:00Z";
                answered += viewer.Send("GET", target, bearer).status == 200;
            }
        });
    }
    ASSERT_EQ(authorise("viewers-busy").status, 200);
    ASSERT_TRUE(WaitForState(forecourt, 1, "FUELLING", 30s));
    const double loaded = rate();
    const auto busyStop = stopIn("viewers-stop-busy");
    reading = false;
    for (std::thread& viewer : viewers)
        viewer.join();

    const auto ms = [](auto duration) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
    };
    std::cerr << "poll cycles/s: idle " << idle << ", eight readers " << loaded << " ("
              << answered.load() << " reads answered); stop answered in " << ms(idleStop)
              << " ms idle, " << ms(busyStop) << " ms under the readers\n";
    RecordProperty("cycles_per_second_idle", std::to_string(idle));
    RecordProperty("cycles_per_second_readers", std::to_string(loaded));
    RecordProperty("stop_ms_idle", std::to_string(ms(idleStop)));
    RecordProperty("stop_ms_readers", std::to_string(ms(busyStop)));
    EXPECT_GT(answered.load(), 8);
    EXPECT_GE(loaded, 0.9 * idle);
    // One cycle of a line, as the idle rate over every line tells it.
    const std::chrono::duration<double> cycle(static_cast<double>(forecourt.Health().size()) /
                                              idle);
    EXPECT_LT(std::chrono::duration<double>(busyStop), cycle);
}

}  // namespace fuel::test
