#include "testing/PostgresServer.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "testing/LoopbackPort.h"

namespace fuel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The superuser that initdb makes; every test connects as it.
constexpr const char* kSuperuser = "fuel";

// The newest installed server's binaries: Debian keeps each major version in a directory of
// its own, with none of them on the PATH.
fs::path ServerBinaries() {
    if (const char* given = std::getenv("FUEL_POSTGRES_BIN"); given != nullptr && *given != 0)
        return given;
    std::vector<std::pair<int, fs::path>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string version = entry.path().filename().string();
        if (::access((entry.path() / "bin" / "postgres").c_str(), X_OK) == 0 && !version.empty() &&
            std::all_of(version.begin(), version.end(), ::isdigit)) {
            found.emplace_back(std::stoi(version), entry.path() / "bin");
        }
    }
    if (found.empty()) {
        throw PostgresMissing(
            "the PostgreSQL server is not installed (/usr/lib/postgresql/*/bin/postgres; "
            "scripts/install-deps.sh installs it)");
    }
    return std::max_element(found.begin(), found.end())->second;
}

// Who runs the server: ourselves, unless we are root, whom initdb and postgres refuse.
struct Account {
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

Account ServerAccount() {
    if (::geteuid() != 0)
        return {};
    for (const char* name : {"postgres", "nobody"}) {
        if (const passwd* user = ::getpwnam(name); user != nullptr)
            return {true, user->pw_uid, user->pw_gid};
    }
    throw std::runtime_error(
        "running as root, and there is no user postgres or nobody to run "
        "the PostgreSQL server as");
}

// The whole tree to the server's user, so that it may write its data and its socket.
void GiveTo(const fs::path& path, const Account& account) {
    if (!account.switchUser)
        return;
    if (::lchown(path.c_str(), account.uid, account.gid) != 0)
        throw std::runtime_error("cannot give " + path.string() + " to the server's user");
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            if (::lchown(entry.path().c_str(), account.uid, account.gid) != 0)
                throw std::runtime_error("cannot give " + entry.path().string() + " away");
        }
    }
}

// Starts a program as the server's user, in a process group of its own (so that a crash can
// take every process of the server at once), its output appended to `log`. Everything the
// child needs is made before the fork: the test program may have threads.
pid_t Spawn(const std::vector<std::string>& arguments, const fs::path& log,
            const Account& account) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        throw std::runtime_error("cannot open " + log.string());
    if (account.switchUser && ::fchown(out, account.uid, account.gid) != 0) {
        ::close(out);
        throw std::runtime_error("cannot give " + log.string() + " away");
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(out);
        throw std::runtime_error("fork");
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        const int none = ::open("/dev/null", O_RDONLY);
        if (none >= 0)
            ::dup2(none, STDIN_FILENO);
        if (account.switchUser && (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
                                   ::setuid(account.uid) != 0)) {
            ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also here, so that a Kill() right away finds the group
    ::close(out);
    return pid;
}

int WaitExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A cluster made once per test program and copied for each server: initdb takes seconds.
class Template {
  public:
    static const Template& Get() {
        static std::mutex mutex;
        static std::unique_ptr<Template> made;
        std::lock_guard lock(mutex);
        if (!made)
            made.reset(new Template());
        return *made;
    }
    const fs::path& Binaries() const { return binaries_; }
    const Account& User() const { return account_; }
    fs::path Data() const { return directory_.Path() / "data"; }

  private:
    Template() : binaries_(ServerBinaries()), account_(ServerAccount()) {
        GiveTo(directory_.Path(), account_);
        const fs::path log = directory_.Path() / "initdb.log";
        // No sync: a copy of this cluster is what each server starts from, and the data a
        // test writes is synced by the server itself.
        const pid_t pid = Spawn({(binaries_ / "initdb").string(), "--pgdata=" + Data().string(),
                                 "--username=" + std::string(kSuperuser), "--auth=trust",
                                 "--encoding=UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                                log, account_);
        const int status = WaitExit(pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("initdb failed: " + ReadBytes(log));
    }
    TemporaryDirectory directory_;
    fs::path binaries_;
    Account account_;
};

// A process's parent and state from /proc/PID/stat; nullopt when it is gone.
std::optional<std::pair<pid_t, char>> ProcessState(pid_t pid) {
    const std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
    const auto name = stat.rfind(')');  // the name in parentheses may hold anything
    if (name == std::string::npos || name + 4 > stat.size())
        return std::nullopt;
    const char state = stat[name + 2];
    return std::pair<pid_t, char>(static_cast<pid_t>(std::atol(stat.c_str() + name + 4)), state);
}

// The server's processes: each backend is the postmaster's child in a session of its own,
// out of reach of a signal to the postmaster's group.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit))
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (const auto state = ProcessState(pid); state && state->first == parent)
            children.push_back(pid);
    }
    return children;
}

bool Accepts(const std::string& connection) {
    return ::PQping(connection.c_str()) == PQPING_OK;
}

}  // namespace

PostgresServer::PostgresServer(PostgresSetup setup) : setup_(setup) {
    const Template& cluster = Template::Get();
    fs::copy(cluster.Data(), directory_.Path() / "data", fs::copy_options::recursive);
    fs::permissions(directory_.Path() / "data", fs::perms::owner_all, fs::perm_options::replace);
    GiveTo(directory_.Path(), cluster.User());
    for (int attempt = 0;; ++attempt) {
        port_ = PortNobodyListensOn();
        try {
            Launch();
            break;
        } catch (const std::runtime_error&) {
            if (attempt == 4)
                throw;  // another process took the port in between: again
        }
    }
    CreateDatabase("hq");
}

PostgresServer::~PostgresServer() {
    try {
        Stop();
    } catch (...) {
    }
}

std::string PostgresServer::ConnectionString(const std::string& database) const {
    return "host=127.0.0.1 port=" + std::to_string(port_) + " user=" + kSuperuser +
           " dbname=" + database + " connect_timeout=10";
}

std::string PostgresServer::Log() const {
    return ReadBytes(directory_.Path() / "postgres.log");
}

void PostgresServer::Launch() {
    const Template& cluster = Template::Get();
    const std::string durable = setup_.durable ? "on" : "off";
    std::vector<std::string> arguments = {
        (cluster.Binaries() / "postgres").string(),
        "-D",
        (directory_.Path() / "data").string(),
        "-c",
        "listen_addresses=127.0.0.1",
        "-c",
        "port=" + std::to_string(port_),
        "-c",
        "unix_socket_directories=" + directory_.Path().string(),
        "-c",
        "fsync=" + durable,
        "-c",
        "synchronous_commit=" + durable,
        "-c",
        "full_page_writes=" + durable,
        // Small and quiet: many of these run at once on a small machine.
        "-c",
        "shared_buffers=32MB",
        "-c",
        "max_connections=64",
        "-c",
        "dynamic_shared_memory_type=mmap",
        "-c",
        "max_wal_size=1GB",
        "-c",
        "wal_level=minimal",
        "-c",
        "max_wal_senders=0",
        "-c",
        "logging_collector=off",
        "-c",
        "log_min_messages=warning",
    };
    for (const std::string& setting : setup_.settings) {
        arguments.push_back("-c");
        arguments.push_back(setting);
    }
    pid_ = Spawn(arguments, directory_.Path() / "postgres.log", cluster.User());
    const std::string probe = ConnectionString("postgres");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!Accepts(probe)) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > deadline) {
            if (::kill(pid_, 0) == 0) {
                ::kill(-pid_, SIGKILL);
                WaitExit(pid_);
            }
            pid_ = -1;
            throw std::runtime_error("postgres did not start on port " + std::to_string(port_) +
                                     ": " + Log());
        }
        std::this_thread::sleep_for(20ms);
    }
}

void PostgresServer::WaitForEnd() {
    WaitExit(pid_);
    pid_ = -1;
}

void PostgresServer::Stop() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGINT);  // "fast" shutdown
    WaitForEnd();
}

void PostgresServer::Start() {
    if (pid_ <= 0)
        Launch();
}

void PostgresServer::Kill() {
    if (pid_ <= 0)
        return;
    // Frozen first, so that it starts no process while its children are gathered; then all
    // at once, as a power cut would. A backend left alive would serve its client on.
    ::kill(pid_, SIGSTOP);
    const std::vector<pid_t> children = ChildrenOf(pid_);
    for (const pid_t child : children)
        ::kill(child, SIGKILL);
    ::kill(-pid_, SIGKILL);
    WaitForEnd();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (const pid_t child : children) {
        for (;;) {
            const auto state = ProcessState(child);
            if (!state || state->second == 'Z' || std::chrono::steady_clock::now() > deadline)
                break;
            std::this_thread::sleep_for(5ms);
        }
    }
}

std::string PostgresServer::CreateDatabase(const std::string& name) {
    // A name goes into the statement as an identifier: only plain ones are taken.
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        })) {
        throw std::invalid_argument("a test database's name is lower-case letters, digits, _");
    }
    std::unique_ptr<PGconn, decltype(&::PQfinish)> connection(
        ::PQconnectdb(ConnectionString("postgres").c_str()), &::PQfinish);
    if (::PQstatus(connection.get()) != CONNECTION_OK)
        throw std::runtime_error(std::string("cannot connect: ") +
                                 ::PQerrorMessage(connection.get()));
    std::unique_ptr<PGresult, decltype(&::PQclear)> result(
        ::PQexec(connection.get(), ("CREATE DATABASE " + name).c_str()), &::PQclear);
    if (::PQresultStatus(result.get()) != PGRES_COMMAND_OK)
        throw std::runtime_error(std::string("CREATE DATABASE failed: ") +
                                 ::PQerrorMessage(connection.get()));
    return ConnectionString(name);
}

}  // namespace fuel::test
