#include "server/Daemon.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "bridge/Bridge.h"
#include "bridge/Position.h"
#include "forecourt/Forecourt.h"
#include "http/CommandLine.h"
#include "http/Notify.h"
#include "server/Log.h"
#include "server/Options.h"
#include "server/Server.h"
#include "server/Tokens.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::server {
namespace {

namespace fs = std::filesystem;

// Run as root on a database the service's own user keeps (the token commands, typically
// with sudo), the commands take that user's identity first: the files SQLite makes beside
// the database (its -wal and -shm) would otherwise belong to root, and the service could no
// longer open its journal.
void BecomeDatabaseOwner(const fs::path& database) {
    if (::geteuid() != 0)
        return;
    struct stat owner {};
    if (::stat(database.c_str(), &owner) != 0 &&
        ::stat(database.parent_path().c_str(), &owner) != 0) {
        return;
    }
    if (owner.st_uid == 0)
        return;
    if (::setgid(owner.st_gid) != 0 || ::setuid(owner.st_uid) != 0) {
        throw std::runtime_error("cannot take the identity of the database's owner (uid " +
                                 std::to_string(owner.st_uid) + ")");
    }
}

// The journal holds the token store (hashes, but also every sale): no one but the service's
// own user reads it. What the daemon makes is its user's alone (the umask, set at start), and
// a journal an older version left readable by all is closed to them before it is opened.
void ProtectJournal(const fs::path& database) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const fs::path file = database.string() + suffix;
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0 || status.st_uid != ::geteuid())
            continue;
        if ((status.st_mode & 077) != 0 && ::chmod(file.c_str(), status.st_mode & 0700) != 0) {
            Log(Priority::Warning,
                "cannot make " + file.string() + " private: " + std::strerror(errno));
        }
    }
}

// The journal's tables: the server's and the bridge's, whether or not a broker is configured,
// so that one journal serves with and without a bridge and the token commands open it as the
// running service does.
std::vector<forecourt::Migration> JournalMigrations() {
    std::vector<forecourt::Migration> migrations = ServerMigrations();
    for (forecourt::Migration& migration : bridge::Migrations())
        migrations.push_back(std::move(migration));
    return migrations;
}

// The configuration (or the example station), with the database the command line names
// instead of its own. The bridge's section is kept as read; Serve gives it meaning.
forecourt::Config LoadStation(const ServerSettings& settings) {
    return forecourt::LoadStation(settings.config, settings.database,
                                  {std::string(bridge::kSectionKind)});
}

int TokenCommand(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    const forecourt::Config config = LoadStation(invocation.settings);
    BecomeDatabaseOwner(config.database);
    ProtectJournal(config.database);
    forecourt::Journal journal(config.database, JournalMigrations());
    journal.Start();
    struct StopJournal {
        forecourt::Journal& journal;
        ~StopJournal() { journal.Stop(); }
    } stop{journal};
    Tokens tokens(journal);
    switch (invocation.command) {
        case Command::TokenAdd: {
            const std::string token = tokens.Add(invocation.tokenName, invocation.role);
            out << token << '\n';
            err << "the token of " << invocation.tokenName << " (" << Name(invocation.role)
                << "); it is not shown again and the database keeps only its hash\n";
            break;
        }
        case Command::TokenList:
            for (const TokenEntry& entry : tokens.List()) {
                std::string name = entry.name;
                if (name.size() < 24)
                    name.resize(24, ' ');
                std::string role(Name(entry.role));
                role.resize(12, ' ');
                out << name << ' ' << role << ' ' << entry.createdAt << '\n';
            }
            break;
        case Command::TokenRevoke:
            tokens.Revoke(invocation.tokenName);
            err << "revoked the token of " << invocation.tokenName << '\n';
            break;
        default:
            break;
    }
    return 0;
}

// Makes what was written to `path` (a file, or a directory's entries) durable.
void Sync(const fs::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0 || ::fsync(descriptor) != 0) {
        const std::string why = std::strerror(errno);
        if (descriptor >= 0)
            ::close(descriptor);
        throw std::runtime_error(path.string() + ": " + why);
    }
    ::close(descriptor);
}

// The journal as one snapshot, from a read-only connection: the running daemon's writer never
// waits for it (WAL), and the lines poll on. The copy is written beside FILE, checked, and
// only then put in its place, so that FILE is always a whole copy.
int BackupCommand(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    const forecourt::Config config = LoadStation(invocation.settings);
    BecomeDatabaseOwner(config.database);
    const fs::path target = fs::absolute(invocation.backupFile);
    std::error_code same;
    if (fs::equivalent(target, config.database, same)) {
        throw std::runtime_error("backup: " + target.string() +
                                 " is the journal itself; name another file");
    }
    if (!fs::exists(config.database))
        throw std::runtime_error("backup: there is no journal at " + config.database.string());
    const fs::path partial = target.string() + ".partial";
    fs::remove(partial);
    const auto started = std::chrono::steady_clock::now();
    try {
        forecourt::Connection source(config.database, forecourt::Connection::Mode::ReadOnly);
        source.BackUpTo(partial);
        forecourt::Connection copy(partial, forecourt::Connection::Mode::ReadOnly);
        const std::vector<std::string> problems = copy.IntegrityProblems(10);
        if (!problems.empty())
            throw std::runtime_error("the copy does not pass the integrity check: " + problems[0]);
        auto& count = copy.Prepare(
            "SELECT (SELECT COUNT(*) FROM fills WHERE state IN ('PAYABLE', 'LOCKED', "
            "'CLEARED')), (SELECT COALESCE(MAX(seq), 0) FROM events)");
        count.Step();
        const auto sales = count.Integer(0);
        const auto last = count.Integer(1);
        count.Reset();
        Sync(partial);
        fs::rename(partial, target);
        Sync(target.parent_path());
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        out << target.string() << '\n';
        err << "backed up " << config.database.string() << " to " << target.string() << ": "
            << sales << " sales, events up to " << last << ", " << fs::file_size(target)
            << " bytes, in " << took.count() << " ms\n";
    } catch (...) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw;
    }
    return 0;
}

// PRAGMA integrity_check on the journal, read-only (the daemon may run meanwhile).
int CheckCommand(const Invocation& invocation, std::ostream& out) {
    const forecourt::Config config = LoadStation(invocation.settings);
    BecomeDatabaseOwner(config.database);
    const std::string name = config.database.string();
    if (!fs::exists(config.database))
        throw std::runtime_error("check: there is no journal at " + name);
    std::vector<std::string> problems;
    try {
        forecourt::Connection journal(config.database, forecourt::Connection::Mode::ReadOnly);
        problems = journal.IntegrityProblems();
    } catch (const forecourt::DatabaseError& e) {
        problems.push_back(e.what());  // not a database, or damaged past reading
    }
    if (problems.empty()) {
        out << name << ": ok\n";
        return 0;
    }
    out << name << ": damaged (" << problems.size()
        << (problems.size() == 1 ? " problem" : " problems") << "); restore the last good backup\n";
    for (const std::string& problem : problems)
        out << "  " << problem << '\n';
    return 1;
}

int Serve(const ServerSettings& settings) {
    // SIGTERM and SIGINT wait for the main thread alone: blocked here, before any thread
    // starts, every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A peer that goes away mid-write is an error on that connection, not the end of us.
    ::signal(SIGPIPE, SIG_IGN);
    SetVerbose(settings.verbose);

    forecourt::Config config = LoadStation(settings);
    // A broker section with a mistake stops us here, before a line or the journal is opened.
    const std::optional<bridge::BrokerConfig> broker = bridge::ReadBrokerConfig(config);
    Log(Priority::Info, "fuel-forecourtd " FUEL_VERSION ": " + config.file.string() + ", " +
                            std::to_string(config.lines.size()) + " lines, " +
                            std::to_string(config.fuelPoints.size()) + " fuel points, journal " +
                            config.database.string());
    ProtectJournal(config.database);
    forecourt::Options options;
    options.migrations = JournalMigrations();
    if (broker) {
        // No event goes before the broker has acknowledged it.
        options.heldEvents = bridge::HeldForBroker(broker->station);
    }
    forecourt::Forecourt forecourt(std::move(config), options);
    forecourt.Start();
    // Declared after the forecourt, so that it also stops first when something below throws.
    std::optional<bridge::Bridge> mqtt;
    if (broker) {
        bridge::BridgeOptions bridgeOptions;
        bridgeOptions.version = FUEL_VERSION;
        bridgeOptions.log = [](const std::string& line) { Log(Priority::Notice, line); };
        Log(Priority::Info,
            std::string("mqtt: station ") + broker->station + " publishes to " +
                (broker->tls ? "mqtts://" : "mqtt://") +
                (broker->host.find(':') != std::string::npos ? "[" + broker->host + "]"
                                                             : broker->host) +
                ":" + std::to_string(broker->port));
        mqtt.emplace(forecourt, *broker, std::move(bridgeOptions));
        mqtt->Start();
    }
    Tokens tokens(forecourt.GetJournal());
    if (tokens.List().empty()) {
        Log(Priority::Warning,
            "no client has a token: every request is refused until one is made with "
            "'fuel-forecourtd token add NAME --role ROLE'");
    }
    Server server(settings, forecourt, tokens);
    server.Start();
    http::NotifySystemd("READY=1");

    int signal = 0;
    sigwait(&signals, &signal);
    http::NotifySystemd("STOPPING=1");
    Log(Priority::Info,
        std::string("stopping (") + (signal == SIGTERM ? "SIGTERM" : "SIGINT") + ")");
    server.Stop();
    // The bridge says "offline" and records how far the broker has acknowledged, which it
    // can only do while the journal is open.
    if (mqtt)
        mqtt->Stop();
    forecourt.Stop();
    Log(Priority::Info, "stopped");
    return 0;
}

}  // namespace

int RunDaemon(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    // Whatever it makes (the journal, its -wal and -shm), for its own user only.
    ::umask(077);
    return http::RunCommandLine<Invocation>(
        "fuel-forecourtd", FUEL_VERSION, words, out, err, ParseCommandLine, HelpText,
        [&](const Invocation& invocation) {
            switch (invocation.command) {
                case Command::Run:
                    return Serve(invocation.settings);
                case Command::Backup:
                    return BackupCommand(invocation, out, err);
                case Command::Check:
                    return CheckCommand(invocation, out);
                default:
                    return TokenCommand(invocation, out, err);
            }
        },
        [](const std::string& what) { Log(Priority::Error, what); });
}

}  // namespace fuel::server
