#include "hq/Daemon.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <optional>

#include "hq/Api.h"
#include "hq/ChangeStream.h"
#include "hq/Config.h"
#include "hq/ConnectionPool.h"
#include "hq/Consumer.h"
#include "hq/Options.h"
#include "hq/Schema.h"
#include "hq/TokenCommands.h"
#include "hq/Tokens.h"
#include "hq/Worker.h"
#include "http/CommandLine.h"
#include "http/Listener.h"
#include "http/Log.h"
#include "http/Notify.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::hq {
namespace {

using http::Log;
using http::Priority;

int Serve(const HqSettings& settings) {
    // SIGTERM and SIGINT wait for the main thread alone: blocked before any thread starts,
    // so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    http::SetVerbose(settings.verbose);

    const HqConfig config = LoadHqConfig(settings.config, settings.database);
    Log(Priority::Info, "fuel-hq " FUEL_VERSION ": " + config.file.string() + ", broker " +
                            (config.broker.tls ? "mqtts://" : "mqtt://") + config.broker.host +
                            ":" + std::to_string(config.broker.port) + " as " +
                            config.broker.clientId + ", share " + config.share);
    {
        // Workers that start together take turns at the migrations.
        Connection connection(config.database);
        const int version = Migrate(connection);
        Log(Priority::Info, "database schema at version " + std::to_string(version));
    }
    ConnectionPool pool(config.database, static_cast<std::size_t>(settings.threads) + 2);
    Tokens tokens(pool);
    if (tokens.List().empty()) {
        Log(Priority::Warning,
            "no client has a token: every request is refused until one is made with "
            "'fuel-hq token add NAME --role ROLE'");
    }
    ChangeStream changes(pool);
    changes.Start();
    Api api(Context{{}, pool, tokens, config.bounds});
    http::ServerCounters counters;
    http::Listener listener(
        settings,
        [&api](const http::Request& request, http::Respond respond) {
            api.Handle(request, std::move(respond));
        },
        changes, counters);
    listener.Start();
    Log(Priority::Info, std::string(settings.Tls() ? "https://" : "http://") + settings.host + ":" +
                            std::to_string(listener.Port()) + " listening");

    WorkerSettings workerSettings;
    workerSettings.database = config.database;
    workerSettings.gapTime = config.gapTime;
    workerSettings.probeAfter = config.probeAfter;
    workerSettings.silentAfter = config.silentAfter;
    workerSettings.offlineAfter = config.offlineAfter;
    workerSettings.resendAfter = config.resendAfter;
    workerSettings.identity = config.identity;
    workerSettings.changed = [&changes] { changes.Poke(); };
    workerSettings.log = [](const std::string& line) { Log(Priority::Notice, line); };
    Worker worker(workerSettings);
    ConsumerSettings consumerSettings;
    consumerSettings.broker = config.broker;
    consumerSettings.share = config.share;
    consumerSettings.identity = config.identity;
    consumerSettings.batchSize = config.batchSize;
    consumerSettings.batchTime = config.batchTime;
    consumerSettings.gapCheck = std::clamp(config.gapTime / 4, std::chrono::milliseconds(100),
                                           std::chrono::milliseconds(5000));
    consumerSettings.applyEvery = config.applyEvery;
    consumerSettings.healthEvery = config.healthEvery;
    consumerSettings.log = [](const std::string& line) { Log(Priority::Notice, line); };
    Consumer consumer(consumerSettings, worker);
    consumer.Start();
    http::NotifySystemd("READY=1");

    int signal = 0;
    sigwait(&signals, &signal);
    http::NotifySystemd("STOPPING=1");
    Log(Priority::Info,
        std::string("stopping (") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
    consumer.Stop();
    listener.Stop();
    changes.Stop();
    const ConsumerCounters& done = consumer.Counters();
    Log(Priority::Info, "stopped: " + std::to_string(done.stored.load()) + " messages stored in " +
                            std::to_string(done.batches.load()) + " batches, " +
                            std::to_string(done.replayRequests.load()) + " replay requests, " +
                            std::to_string(done.priceCommands.load()) + " price commands");
    return 0;
}

}  // namespace

int RunDaemon(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    ::umask(077);
    return http::RunCommandLine<Invocation>(
        "fuel-hq", FUEL_VERSION, words, out, err, ParseCommandLine, HelpText,
        [&](const Invocation& invocation) {
            switch (invocation.command) {
                case Command::Run:
                    return Serve(invocation.settings);
                default:
                    return RunTokenCommand(invocation, out, err);
            }
        },
        [](const std::string& what) { Log(Priority::Error, what); });
}

}  // namespace fuel::hq
