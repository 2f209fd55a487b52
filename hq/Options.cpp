#include "hq/Options.h"

#include <functional>
#include <string_view>

#include "hq/Roles.h"
#include "http/CommandLine.h"

#ifndef FUEL_VERSION
#error "FUEL_VERSION must be defined by the build"
#endif

namespace fuel::hq {
namespace {

using http::Number;
using http::Seconds;

using Option = http::CommandLineOption<Invocation>;

const std::vector<Option>& Options() {
    static const std::vector<Option> options = [] {
        std::vector<Option> options = {
            {"config", "FILE",
             "the configuration: the broker, the database, the intake's and alarms' times "
             "(default /etc/fuel/hq.ini)",
             [](Invocation& i, const std::string& v) { i.settings.config = v; }},
            {"database", "CONNINFO",
             "PostgreSQL's connection string (or URI), instead of the configuration's",
             [](Invocation& i, const std::string& v) {
                 if (v.empty())
                     throw UsageError("--database needs a connection string");
                 i.settings.database = v;
             }},
        };
        const std::vector<Option> listener = http::ListenerOptions<Invocation>(
            [](Invocation& i) -> http::ListenerSettings& { return i.settings; },
            "where to listen (default 127.0.0.1:8480; port 0: any free one)");
        options.insert(options.end(), listener.begin(), listener.end());
        options.insert(
            options.end(),
            {
                {"heartbeat", "SECONDS", "the change stream's heartbeat period (default 15)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.heartbeat = Seconds(v, "--heartbeat");
                 }},
                {"client-queue", "N",
                 "changes a stream client may fall behind before it is disconnected (default 1024)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.clientQueue =
                         static_cast<std::size_t>(Number(v, "--client-queue", 1, 1000000));
                 }},
                {"threads", "N", "network threads (default 2)",
                 [](Invocation& i, const std::string& v) {
                     i.settings.threads = static_cast<int>(Number(v, "--threads", 1, 64));
                 }},
                {"verbose", "", "log every request and every batch",
                 [](Invocation& i, const std::string&) { i.settings.verbose = true; }},
                {"role", "ROLE", "token add: the client's role (the roles are below)",
                 [](Invocation& i, const std::string& v) {
                     if (!IsRole(v))
                         throw UsageError("--role must be " + RoleNames() + ", not '" + v + "'");
                     i.role = v;
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

HqSettings::HqSettings() {
    port = kDefaultPort;
    serverName = "fuel-hq/" FUEL_VERSION;
}

Invocation ParseCommandLine(const std::vector<std::string>& words) {
    Invocation invocation;
    const http::ReadWords read = http::ReadCommandLine(Options(), words, invocation);
    const std::vector<std::string>& operands = read.operands;
    if (invocation.command == Command::Help || invocation.command == Command::Version)
        return invocation;

    const bool roleGiven = !invocation.role.empty();
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
        if (roleGiven && invocation.command != Command::TokenAdd)
            throw UsageError("--role is for token add");
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
        "Usage: fuel-hq [OPTIONS]\n"
        "       fuel-hq token add NAME --role ROLE [--config FILE | --database CONNINFO]\n"
        "       fuel-hq token list [--config FILE | --database CONNINFO]\n"
        "       fuel-hq token revoke NAME [--config FILE | --database CONNINFO]\n"
        "\n"
        "Runs one worker of the chain's head office: takes every station's journal events\n"
        "from the chain's MQTT broker (an MQTT 5 shared subscription, which splits the\n"
        "stations among all the workers of one share), stores each once in PostgreSQL, asks\n"
        "a station again for the events of a gap that stays open, keeps the sales, fuel\n"
        "points, prices, health and alarms derived from them, and serves its HTTP API\n"
        "(/api/v1, its document at /api/v1/openapi.json, the change stream as Server-Sent\n"
        "Events). Start as many workers as the load needs, each with its own client-id.\n"
        "\n"
        "Commands:\n"
        "  token add NAME --role ROLE   make a client's token and print it (it is shown once)\n"
        "  token list                   list the clients with a token, and their roles\n"
        "  token revoke NAME            revoke a client's token\n"
        "\n"
        "Options:\n";
    text += http::OptionsHelp(Options());
    text += "\nRoles:\n";
    for (const RoleInfo& role : Roles()) {
        std::string left = "  " + std::string(role.name);
        left.resize(14, ' ');
        text += left + std::string(role.description) + "\n";
    }
    text +=
        "\nConfiguration:\n"
        "  [mqtt] url, client-id, user, password, ca, certificate, key, keepalive, share,\n"
        "  identity, session-expiry; [database] connection; [intake] batch-size, batch-time,\n"
        "  gap-time, probe-after, apply-every, health-every, resend-after; [alarms]\n"
        "  silent-after, offline-after; [bounds] GRADE.lowest, GRADE.highest,\n"
        "  GRADE.largest-change (GRADE * for every grade).\n"
        "  See fuel-hq(8).\n";
    return text;
}

}  // namespace fuel::hq
