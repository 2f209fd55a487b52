#include "server/Options.h"

#include <functional>
#include <optional>

#include "http/CommandLine.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::server {
namespace {

using http::Number;
using http::Seconds;

using Option = http::CommandLineOption<Invocation>;

const std::vector<Option>& Options() {
    static const std::vector<Option> options = [] {
        std::vector<Option> options = {
            {"config", "FILE",
             "the station's configuration (default: the example station on the embedded emulator, "
             "its journal forecourt.db in the working directory)",
             [](Invocation& i, const std::string& v) { i.settings.config = v; }},
            {"database", "FILE", "the journal's database, instead of the configuration's",
             [](Invocation& i, const std::string& v) { i.settings.database = v; }},
        };
        const std::vector<Option> listener = http::ListenerOptions<Invocation>(
            [](Invocation& i) -> http::ListenerSettings& { return i.settings; },
            "where to listen (default 127.0.0.1:8470; port 0: any free one)");
        options.insert(options.end(), listener.begin(), listener.end());
        options.insert(
            options.end(),
            {
                {"heartbeat", "SECONDS", "the event streams' heartbeat period (default 15)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.heartbeat = Seconds(v, "--heartbeat");
                 }},
                {"client-queue", "N",
                 "events an event client may fall behind before it is disconnected (default 4096)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.clientQueue =
                         static_cast<std::size_t>(Number(v, "--client-queue", 1, 1000000));
                 }},
                {"threads", "N", "network threads (default 2)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.threads = static_cast<int>(Number(v, "--threads", 1, 64));
                 }},
                {"verbose", "", "log every request",
                 [](Invocation& i, const std::string&) { i.settings.verbose = true; }},
                {"role", "ROLE", "token add: the client's role (the roles are below)",
                 [](Invocation& i, const std::string& v) {
                     const auto role = RoleFromName(v);
                     if (!role)
                         throw UsageError("--role must be " + RoleNames() + ", not '" + v + "'");
                     i.role = *role;
                 }},
                {"help", "", "show this help",
                 [](Invocation& i, const std::string&) { i.command = Command::Help; }},
                {"version", "", "show the version",
                 [](Invocation& i, const std::string&) { i.command = Command::Version; }},
            });
        return options;
    }();
    return options;
}

}  // namespace

ServerSettings::ServerSettings() {
    port = kDefaultPort;
    serverName = "fuel-forecourtd/" FUEL_VERSION;
}

Invocation ParseCommandLine(const std::vector<std::string>& words) {
    Invocation invocation;
    const http::ReadWords read = http::ReadCommandLine(Options(), words, invocation);
    const std::vector<std::string>& operands = read.operands;
    const bool roleGiven = read.given.contains("role");
    if (invocation.command == Command::Help || invocation.command == Command::Version) {
        return invocation;
    }

    if (!operands.empty() && (operands[0] == "backup" || operands[0] == "check")) {
        if (roleGiven)
            throw UsageError("--role is for token add");
        if (operands[0] == "check") {
            if (operands.size() != 1)
                throw UsageError("check takes no operands");
            invocation.command = Command::Check;
            return invocation;
        }
        if (operands.size() != 2 || operands[1].empty())
            throw UsageError("backup needs one FILE to write the copy to");
        invocation.command = Command::Backup;
        invocation.backupFile = operands[1];
        return invocation;
    }
    if (!operands.empty()) {
        if (operands[0] != "token")
            throw UsageError("unknown command '" + operands[0] + "'");
        if (operands.size() < 2)
            throw UsageError("token needs add, list or revoke");
        const std::string& what = operands[1];
        const std::size_t expected = what == "list" ? 2 : 3;
        if (what == "add") {
            invocation.command = Command::TokenAdd;
            if (!roleGiven)
                throw UsageError("token add needs --role ROLE");
        } else if (what == "list") {
            invocation.command = Command::TokenList;
        } else if (what == "revoke") {
            invocation.command = Command::TokenRevoke;
        } else {
            throw UsageError("token needs add, list or revoke, not '" + what + "'");
        }
        if (operands.size() != expected) {
            throw UsageError(expected == 3 ? "token " + what + " needs one NAME"
                                           : "token list takes no operands");
        }
        if (expected == 3)
            invocation.tokenName = operands[2];
        return invocation;
    }

    if (roleGiven)
        throw UsageError("--role is for token add");
    http::CheckListener(invocation.settings);
    return invocation;
}

std::string HelpText() {
    std::string text =
        "Usage: fuel-forecourtd [OPTIONS]\n"
        "       fuel-forecourtd token add NAME --role ROLE [--config FILE]\n"
        "       fuel-forecourtd token list [--config FILE]\n"
        "       fuel-forecourtd token revoke NAME [--config FILE]\n"
        "       fuel-forecourtd backup FILE [--config FILE]\n"
        "       fuel-forecourtd check [--config FILE]\n"
        "\n"
        "Runs the station's forecourt (its lines, fuel points and sale journal) and serves its\n"
        "HTTP API, events (Server-Sent Events, WebSocket), /healthz and /metrics.\n"
        "\n"
        "Commands:\n"
        "  token add NAME --role ROLE   make a client's token and print it (it is shown once)\n"
        "  token list                   list the clients with a token, and their roles\n"
        "  token revoke NAME            revoke a client's token\n"
        "  backup FILE                  copy the journal into FILE, while the daemon runs (FILE\n"
        "                               is replaced only by a whole copy); to restore: stop the\n"
        "                               daemon, put the copy in the journal's place, start it\n"
        "  check                        check the journal's integrity: exit 0 when sound, 1\n"
        "                               when not\n"
        "\n"
        "Options:\n";
    text += http::OptionsHelp(Options());
    text += "\nRoles:\n";
    for (const Role role : kRoles) {
        std::string left = "  " + std::string(Name(role));
        left.resize(14, ' ');
        text += left + std::string(Description(role)) + "\n";
    }
    text +=
        "\nBroker:\n"
        "  With an [mqtt] section in the configuration (url, station, and how to log in), it\n"
        "  also publishes every journal event to the chain's MQTT broker, in order and after\n"
        "  an outage too, and applies the price commands the broker brings; a mistake in the\n"
        "  section stops it before anything starts. See fuel-forecourtd(8).\n";
    return text;
}

}  // namespace fuel::server
