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
                    response.stream = StreamStart{.client = "tester"};
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
