// The listener on a loopback port in this process, with a handler and a stream source of the
// test's own, through a client made with nothing but an HTTP library: the limits, TLS, the
// event streams' heartbeat, and the goodbye each stream is told when the server stops.
#include "http/Listener.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "http/EventStream.h"
#include "testing/HttpClient.h"
#include "testing/TestCertificate.h"
#include "testing/TestFiles.h"

namespace fuel::http {
namespace {

using namespace std::chrono_literals;
using test::EventStreamClient;
using test::HttpAnswer;
using test::HttpClient;
using test::RawExchange;
using test::WebSocketClient;

// Events as a test publishes them, handed to every stream that joined.
class TestSource : public StreamSource {
  public:
    std::shared_ptr<StreamSubscription> Join(const StreamStart&,
                                             std::function<void()> wake) override {
        auto subscriber = std::make_shared<Subscriber>();
        subscriber->wake = std::move(wake);
        std::lock_guard lock(mutex_);
        subscribers_.push_back(subscriber);
        joined_.notify_all();
        return subscriber;
    }

    void Publish(const std::string& type) {
        auto event = std::make_shared<StreamEvent>(
            StreamEvent{++sequence_, type, "{\"type\":\"" + type + "\"}"});
        std::vector<std::function<void()>> wakes;
        {
            std::lock_guard lock(mutex_);
            for (const auto& subscriber : subscribers_) {
                std::lock_guard own(subscriber->mutex);
                subscriber->queue.push_back(event);
                wakes.push_back(subscriber->wake);
            }
        }
        for (const auto& wake : wakes)
            wake();
    }

    // Waits until `count` streams have joined.
    bool WaitForJoined(std::size_t count) {
        std::unique_lock lock(mutex_);
        return joined_.wait_for(lock, 10s, [&] { return subscribers_.size() >= count; });
    }

    // How many of those that joined have left.
    std::size_t Left() {
        std::lock_guard lock(mutex_);
        std::size_t left = 0;
        for (const auto& subscriber : subscribers_) {
            std::lock_guard own(subscriber->mutex);
            left += subscriber->left;
        }
        return left;
    }

  private:
    struct Subscriber : StreamSubscription {
        StreamBatch Take() override {
            std::lock_guard lock(mutex);
            StreamBatch batch;
            if (left) {
                batch.dropped = "left";
                return batch;
            }
            batch.events.assign(queue.begin(), queue.end());
            queue.clear();
            batch.live = true;
            return batch;
        }
        void Leave() override {
            std::lock_guard lock(mutex);
            left = true;
        }
        std::mutex mutex;
        std::deque<EventPointer> queue;
        bool left = false;
        std::function<void()> wake;
    };

    std::mutex mutex_;
    std::condition_variable joined_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    std::int64_t sequence_ = 0;
};

// A connection of the test's own from a loopback address of its choice (127.0.0.2 is another
// peer than 127.0.0.1), with plain reads and writes that never wait long.
class RawConnection {
  public:
    RawConnection(const char* from, std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &source.sin_addr);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
        connected_ = fd_ >= 0 &&
                     ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    }
    ~RawConnection() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connected() const { return connected_; }
    int Fd() const { return fd_; }
    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    // What arrives until the peer closes or `wait` passes (or `enough` bytes came); with no
    // wait, what has arrived.
    std::string Read(std::chrono::milliseconds wait, std::size_t enough = SIZE_MAX) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (got.size() < enough) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <=
                0)
                break;
            char buffer[4096];
            const ssize_t read = ::recv(fd_, buffer, sizeof buffer, 0);
            if (read <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(read));
        }
        return got;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

// This process's resident memory, in KiB.
long ResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// A TLS handshake with OpenSSL, offering what the test asks: the suite agreed on, or nullopt
// when the server refused.
std::optional<std::string> NegotiatedSuite(std::uint16_t port, int maxVersion, const char* suites) {
    RawConnection connection("127.0.0.1", port);
    if (!connection.Connected())
        return std::nullopt;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                              SSL_CTX_free);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context.get(), maxVersion);
    // OpenSSL's own default security level would refuse some of these before the server can.
    SSL_CTX_set_security_level(context.get(), 0);
    if (suites != nullptr && SSL_CTX_set_cipher_list(context.get(), suites) != 1)
        return std::nullopt;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    SSL_set_fd(ssl.get(), connection.Fd());
    if (SSL_connect(ssl.get()) != 1)
        return std::nullopt;
    std::string suite = SSL_get_cipher_name(ssl.get());
    SSL_shutdown(ssl.get());
    return suite;
}

// GET /ok answers; GET /events starts a stream (a WebSocket when asked for one).
class ListenerTest : public testing::Test {
  protected:
    static ListenerSettings Quick() {
        ListenerSettings settings;
        settings.requestTimeout = 500ms;
        settings.heartbeat = 200ms;
        settings.serverName = "listener-test/1";
        return settings;
    }

    Listener& Start(ListenerSettings settings = Quick()) {
        listener_ = std::make_unique<Listener>(
            settings,
            [this](const Request& request, Respond respond) {
                ++handled_;
                if (request.target == "/events") {
                    Response response;
                    response.stream = StreamStart{.client = "tester",
                                                  .webSocket = request.IsWebSocketHandshake(),
                                                  .stillAllowed = stillAllowed_};
                    respond(std::move(response));
                } else {
                    respond(JsonResponse(200, {{"ok", true}}));
                }
            },
            source_, counters_);
        listener_->Start();
        return *listener_;
    }
    std::uint16_t Port() const { return listener_->Port(); }

    // An event stream and a WebSocket, both joined to the source; false when one is not.
    bool OpenBoth() {
        stream_ = std::make_unique<EventStreamClient>(Port(), "/events", test::Headers{});
        socket_ = std::make_unique<WebSocketClient>(Port(), "/events", test::Headers{});
        return stream_->Status() == 200 && socket_->Open() && source_.WaitForJoined(2);
    }

    TestSource source_;
    ServerCounters counters_;
    std::atomic<int> handled_{0};
    std::function<bool()> stillAllowed_;
    std::unique_ptr<Listener> listener_;
    std::unique_ptr<EventStreamClient> stream_;
    std::unique_ptr<WebSocketClient> socket_;
};

TEST_F(ListenerTest, RefusesEachLimitWithItsStatusAndGoesOnServing) {
    Start();
    struct Case {
        const char* what;
        std::string request;
        const char* status;
    };
    const Case cases[] = {
        {"a body over 64 KiB",
         "POST /ok HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, ' '),
         "HTTP/1.1 413 "},
        {"a header that never ends", "GET /ok HTTP/1.1\r\nHost: x\r\nX-Slow: a", "HTTP/1.1 408 "},
        {"a header over the limit",
         "GET /ok HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 "},
        {"not HTTP", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string answer = RawExchange(Port(), c.request, 3000ms);
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 200);
        EXPECT_NE(answer.find("\r\nServer: listener-test/1\r\n"), std::string::npos);
        EXPECT_NE(answer.find("\"error\":{\"code\""), std::string::npos);
        HttpClient next(Port());
        EXPECT_EQ(next.Send("GET", "/ok").status, 200);
    }
    // None of the refused requests reached the handler.
    EXPECT_EQ(handled_.load(), 4);
}

TEST_F(ListenerTest, LetsAQuietKeptConnectionGoWithoutAnAnswer) {
    Start();
    EXPECT_EQ(RawExchange(Port(), "", 2000ms), "");
}

TEST_F(ListenerTest, KeepsAConnectionForSeveralRequests) {
    Start();
    HttpClient client(Port());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(client.Send("GET", "/ok").status, 200);
    EXPECT_EQ(counters_.requestConnections.load(), 1);
    EXPECT_EQ(counters_.responses[2].load(), 3u);
}

TEST_F(ListenerTest, AnswersConnectionsOverTheLimitWith503AndServesTheOthers) {
    ListenerSettings settings = Quick();
    settings.maxConnections = 2;
    settings.requestTimeout = 5s;
    Start(settings);
    HttpClient first(Port());
    HttpClient second(Port());
    ASSERT_EQ(first.Send("GET", "/ok").status, 200);
    ASSERT_EQ(second.Send("GET", "/ok").status, 200);
    HttpClient third(Port());
    const HttpAnswer refused = third.Send("GET", "/ok");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.Json()["error"]["code"], "too-many-connections");
    EXPECT_EQ(refused.Header("Retry-After"), "1");
    EXPECT_EQ(first.Send("GET", "/ok").status, 200);
    EXPECT_EQ(second.Send("GET", "/ok").status, 200);
    EXPECT_EQ(counters_.refused.load(), 1u);
}

// Over the limit, the answer comes before the client has said anything: the slot is not held
// while a client makes up its mind.
TEST_F(ListenerTest, RefusesAConnectionOverTheLimitAtOnce) {
    ListenerSettings settings = Quick();
    settings.maxConnections = 1;
    settings.headerTimeout = 10s;
    settings.requestTimeout = 10s;
    Start(settings);
    RawConnection holder("127.0.0.1", Port());
    ASSERT_TRUE(holder.Connected());
    const auto start = std::chrono::steady_clock::now();
    RawConnection refused("127.0.0.1", Port());
    const std::string answer = refused.Read(5000ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 ", 0), 0u) << answer;
    EXPECT_NE(answer.find("too-many-connections"), std::string::npos);
    EXPECT_EQ(counters_.refused.load(), 1u);
}

// 600 connections from one address that trickle their headers hold 64 slots, no more; the
// rest are refused at once, and a client at another address is served throughout.
TEST_F(ListenerTest, KeepsOnePeersSlowConnectionsToItsShareAndServesAnother) {
    ListenerSettings settings = Quick();
    settings.maxConnections = ListenerSettings{}.maxConnections;
    settings.maxConnectionsPerPeer = ListenerSettings{}.maxConnectionsPerPeer;
    ASSERT_LT(settings.maxConnectionsPerPeer * 4, settings.maxConnections);
    settings.headerTimeout = 60s;
    settings.requestTimeout = 60s;
    Start(settings);
    constexpr std::size_t kSlow = 600;
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (std::size_t i = 0; i < kSlow; ++i) {
        slow.push_back(std::make_unique<RawConnection>("127.0.0.1", Port()));
        ASSERT_TRUE(slow.back()->Connected()) << i;
        slow.back()->Send("GET /ok HTTP/1.1\r\nHost: x\r\nX-Slow: a");
    }
    const std::size_t over = kSlow - settings.maxConnectionsPerPeer;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (counters_.refused.load() < over && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(counters_.refused.load(), over);

    int served = 0;
    for (int probe = 0; probe < 16; ++probe) {
        RawConnection other("127.0.0.2", Port());
        ASSERT_TRUE(other.Connected());
        other.Send("GET /ok HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        served += other.Read(5000ms).rfind("HTTP/1.1 200 ", 0) == 0;
    }
    EXPECT_EQ(served, 16);
    // Each slow one goes on trickling and still holds its slot, or was told 503 at once.
    std::size_t refused = 0;
    for (auto& connection : slow) {
        const bool told = connection->Read(0ms, 13).rfind("HTTP/1.1 503 ", 0) == 0;
        refused += told;
        if (!told) {
            EXPECT_TRUE(connection->Send("a"));
        }
    }
    EXPECT_EQ(refused, over);
    EXPECT_EQ(handled_.load(), 16);
}

// The header has its own, shorter time: a client that trickles it in is cut off then, while
// a body may take the rest of the request's time.
TEST_F(ListenerTest, GivesTheHeaderItsOwnShorterTime) {
    ListenerSettings settings = Quick();
    settings.headerTimeout = 500ms;
    settings.requestTimeout = 10s;
    Start(settings);
    struct Case {
        const char* what;
        std::string header;
        std::string trickled;  // a byte at a time, 100 ms apart
        const char* status;
    };
    const Case cases[] = {
        {"a trickled header", "GET /ok HTTP/1.1\r\nHost: x\r\n", std::string(20, 'X'),
         "HTTP/1.1 408 "},
        {"a trickled body", "POST /ok HTTP/1.1\r\nHost: x\r\nContent-Length: 12\r\n\r\n",
         std::string(12, ' '), "HTTP/1.1 200 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection connection("127.0.0.1", Port());
        ASSERT_TRUE(connection.Send(c.header));
        for (const char byte : c.trickled) {
            std::this_thread::sleep_for(100ms);
            if (!connection.Send(std::string_view(&byte, 1)))
                break;
        }
        const std::string answer = connection.Read(3000ms);
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 100);
    }
}

// A WebSocket client has nothing to say: a big message is refused by its frame's header, so
// that 30 clients sending 16 MiB each cost the server nothing it keeps.
TEST_F(ListenerTest, RefusesBigWebSocketMessagesWithoutBufferingThem) {
    ListenerSettings settings = Quick();
    settings.heartbeat = 60s;  // no ping before the close frame
    Start(settings);
    const auto open = [this] {
        auto connection = std::make_unique<RawConnection>("127.0.0.1", Port());
        connection->Send(
            "GET /events HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        const std::string answer = connection->Read(5000ms, 12);
        EXPECT_EQ(answer.rfind("HTTP/1.1 101", 0), 0u) << answer;
        connection->Read(200ms);  // the rest of the handshake's answer
        return connection;
    };
    constexpr std::size_t kMessage = 16u << 20;
    // A masked text frame's header for a message of kMessage bytes.
    std::string header = {static_cast<char>(0x81), static_cast<char>(0xFF)};
    for (int shift = 56; shift >= 0; shift -= 8)
        header.push_back(static_cast<char>((kMessage >> shift) & 0xFF));
    header += std::string("\x01\x02\x03\x04", 4);

    // The header alone is enough for the refusal: a close frame, 1009 (too big).
    auto first = open();
    first->Send(header);
    const std::string close = first->Read(5000ms, 4);
    ASSERT_GE(close.size(), 4u);
    EXPECT_EQ(static_cast<unsigned char>(close[0]), 0x88);
    EXPECT_EQ((static_cast<unsigned char>(close[2]) << 8) | static_cast<unsigned char>(close[3]),
              1009);

    const long before = ResidentKib();
    std::vector<std::unique_ptr<RawConnection>> clients;
    for (int i = 0; i < 30; ++i)
        clients.push_back(open());
    const std::string chunk(64 * 1024, 'x');
    for (auto& client : clients) {
        timeval bound{1, 0};
        ::setsockopt(client->Fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        client->Send(header);
        for (std::size_t sent = 0; sent < kMessage && client->Send(chunk); sent += chunk.size()) {
        }
    }
    const long after = ResidentKib();
    EXPECT_LT(after - before, 16 * 1024) << before << " KiB before, " << after << " KiB after";
    RecordProperty("rss_kib_before", std::to_string(before));
    RecordProperty("rss_kib_after", std::to_string(after));
    EXPECT_EQ(HttpClient(Port()).Send("GET", "/ok").status, 200);
}

// On TLS 1.2 only ECDHE with an AEAD cipher, in the server's order whatever the client
// prefers; TLS 1.3 as OpenSSL has it.
TEST_F(ListenerTest, OffersOnlyForwardSecretAeadSuitesOnTls12InItsOwnOrder) {
    test::TemporaryDirectory dir;
    test::WriteSelfSignedCertificate(dir.Path(), test::KeyKind::Rsa);
    ListenerSettings settings = Quick();
    settings.tlsCertificate = dir.Path() / "certificate.pem";
    settings.tlsKey = dir.Path() / "key.pem";
    Start(settings);
    struct Case {
        const char* what;
        int version;
        const char* offered;
        std::optional<std::string> agreed;
    };
    const Case cases[] = {
        {"RSA key exchange, CBC", TLS1_2_VERSION, "AES128-SHA", std::nullopt},
        {"RSA key exchange, GCM", TLS1_2_VERSION, "AES128-GCM-SHA256", std::nullopt},
        {"ECDHE, CBC", TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA:ECDHE-RSA-AES256-SHA384",
         std::nullopt},
        {"ECDHE, GCM", TLS1_2_VERSION, "ECDHE-RSA-AES256-GCM-SHA384",
         "ECDHE-RSA-AES256-GCM-SHA384"},
        {"the client's order is not the server's", TLS1_2_VERSION,
         "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256",
         "ECDHE-RSA-AES128-GCM-SHA256"},
        {"an old suite first", TLS1_2_VERSION, "AES128-SHA:ECDHE-RSA-AES256-GCM-SHA384",
         "ECDHE-RSA-AES256-GCM-SHA384"},
        {"TLS 1.3", TLS1_3_VERSION, nullptr, "TLS_AES_256_GCM_SHA384"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NegotiatedSuite(Port(), c.version, c.offered), c.agreed);
    }
    HttpClient secure(Port(), true);
    EXPECT_EQ(secure.Send("GET", "/ok").status, 200);
}

TEST_F(ListenerTest, ServesHttpsWithTheCertificateGivenAndNothingPlainOnIt) {
    test::TemporaryDirectory dir;
    test::WriteSelfSignedCertificate(dir.Path());
    ListenerSettings settings = Quick();
    settings.tlsCertificate = dir.Path() / "certificate.pem";
    settings.tlsKey = dir.Path() / "key.pem";
    Start(settings);
    HttpClient secure(Port(), true);
    const HttpAnswer answer = secure.Send("GET", "/ok");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.Json()["ok"], true);
    const std::string plain = RawExchange(Port(), "GET /ok HTTP/1.1\r\nHost: x\r\n\r\n", 2000ms);
    EXPECT_EQ(plain.find("HTTP/1.1 200"), std::string::npos);
}

TEST_F(ListenerTest, RefusesToStartOnABadCertificateOrPlainOffTheLoopback) {
    test::TemporaryDirectory dir;
    ListenerSettings settings = Quick();
    settings.tlsCertificate = dir.Path() / "missing.pem";
    settings.tlsKey = dir.Path() / "missing-key.pem";
    Listener tls(settings, nullptr, source_, counters_);
    EXPECT_THROW(tls.Start(), std::runtime_error);
    ListenerSettings open = Quick();
    open.host = "0.0.0.0";
    Listener plain(open, nullptr, source_, counters_);
    EXPECT_THROW(plain.Start(), UsageError);
    open.host = "not-an-address";
    open.insecure = true;
    Listener nowhere(open, nullptr, source_, counters_);
    EXPECT_THROW(nowhere.Start(), std::runtime_error);
}

// The daemon may answer after the listener has gone (a command still under way on a line):
// the answer is dropped, and nothing that went with the listener is touched, not even when
// the daemon lets go of the answer's callback.
TEST_F(ListenerTest, DropsAnAnswerThatComesAfterTheListenerHasGone) {
    std::promise<Respond> asked;
    listener_ = std::make_unique<Listener>(
        Quick(), [&](const Request&, Respond respond) { asked.set_value(std::move(respond)); },
        source_, counters_);
    listener_->Start();
    const std::uint16_t port = Port();
    std::thread client(
        [port] { RawExchange(port, "GET /ok HTTP/1.1\r\nHost: x\r\n\r\n", 10000ms); });
    auto future = asked.get_future();
    const bool reached = future.wait_for(10s) == std::future_status::ready;
    listener_.reset();
    client.join();
    ASSERT_TRUE(reached);
    Respond late = future.get();
    late(JsonResponse(200, {{"late", true}}));
    late = nullptr;
    EXPECT_EQ(counters_.responses[2].load(), 0u);
}

TEST_F(ListenerTest, SendsAHeartbeatWhenThereIsNothingToSay) {
    Start();
    EventStreamClient stream(Port(), "/events", {});
    ASSERT_EQ(stream.Status(), 200);
    EXPECT_FALSE(stream.Next(1000ms).has_value());
    EXPECT_GE(stream.Comments(), 2);
    EXPECT_FALSE(stream.Ended());
}

TEST_F(ListenerTest, CarriesEachEventOnBothKindsOfStream) {
    Start();
    ASSERT_TRUE(OpenBoth());
    source_.Publish("first");
    source_.Publish("second");
    for (const char* type : {"first", "second"}) {
        const auto event = stream_->Next(5000ms);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->type, type);
        const auto message = socket_->Next(5000ms);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(*message, event->data);
    }
    EXPECT_EQ(counters_.eventStreams.load(), 1);
    EXPECT_EQ(counters_.webSockets.load(), 1);
}

TEST_F(ListenerTest, TellsEveryStreamThatTheServerStopsBeforeItCloses) {
    Start();
    ASSERT_TRUE(OpenBoth());
    std::thread stopper([this] { listener_->Stop(); });

    const auto last = stream_->Next(5000ms);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->type, "error");
    EXPECT_FALSE(last->id.has_value());
    const auto data = nlohmann::json::parse(last->data);
    EXPECT_EQ(data["error"]["code"], "shutdown");
    EXPECT_EQ(data["error"]["message"], DropMessage("shutdown"));
    EXPECT_FALSE(stream_->Next(5000ms).has_value());
    EXPECT_TRUE(stream_->Ended());

    EXPECT_FALSE(socket_->Next(5000ms).has_value());
    EXPECT_EQ(socket_->CloseCode(), 1001);  // going away
    EXPECT_EQ(socket_->CloseReason(), DropMessage("shutdown"));
    stopper.join();
    EXPECT_EQ(source_.Left(), 2u);
    EXPECT_EQ(counters_.eventStreams.load(), 0);
    EXPECT_EQ(counters_.webSockets.load(), 0);
}

// A client that never answers the close frame (it reads nothing) must not hold the stop up:
// the goodbye has a bound, and the connection is closed after it.
TEST_F(ListenerTest, EndsAStreamWhoseClientIsNoLongerAllowedIt) {
    std::atomic<bool> allowed{true};
    stillAllowed_ = [&allowed] { return allowed.load(); };
    ListenerSettings settings = Quick();
    settings.credentialCheck = 100ms;
    settings.heartbeat = 10s;
    Start(settings);
    ASSERT_TRUE(OpenBoth());
    source_.Publish("before");
    ASSERT_TRUE(stream_->Next(5000ms).has_value());
    ASSERT_TRUE(socket_->Next(5000ms).has_value());
    allowed = false;
    const auto start = std::chrono::steady_clock::now();
    const auto last = stream_->Next(5000ms);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->type, "error");
    EXPECT_EQ(nlohmann::json::parse(last->data)["error"]["code"], "revoked");
    EXPECT_FALSE(socket_->Next(5000ms).has_value());
    EXPECT_EQ(socket_->CloseCode(), 1008);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
    EXPECT_FALSE(stream_->Next(2000ms).has_value());
    EXPECT_TRUE(stream_->Ended());
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (source_.Left() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(source_.Left(), 2u);
}

TEST_F(ListenerTest, StopsAlthoughAStreamNeverAnswersItsGoodbye) {
    Start();
    WebSocketClient deaf(Port(), "/events", {});
    ASSERT_TRUE(deaf.Open());
    ASSERT_TRUE(source_.WaitForJoined(1));
    listener_.reset();
    EXPECT_FALSE(deaf.Next(5000ms).has_value());
    EXPECT_EQ(deaf.CloseCode(), 1001);
    EXPECT_EQ(counters_.webSockets.load(), 0);
}

}  // namespace
}  // namespace fuel::http
