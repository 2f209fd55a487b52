// A private PostgreSQL for tests and benchmarks: the system's server binaries, a cluster made
// by initdb in a temporary directory, a postgres on a free loopback port and a Unix socket in
// that directory. Stopped and started again on the same port and data (PostgreSQL restarted
// under its clients), or killed outright (a crash: the next start recovers from the WAL).
//
// The server refuses to run as root, and tests here run as root: then initdb and postgres run
// as the unprivileged system user "postgres" (or "nobody"), which owns the directory.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "testing/TestFiles.h"

namespace fuel::test {

// The server's binaries are not installed: a test skips rather than fails.
class PostgresMissing : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct PostgresSetup {
    // Durable (the default): fsync and synchronous commit on, as in production, so a test that
    // kills the server sees the same recovery a real crash gets. Off for tests that only need
    // a database and never crash it: commits do not wait for the disk.
    bool durable = true;
    // More of the server's settings, "name=value" each as postgres -c takes them; they
    // override the ones the server is started with here.
    std::vector<std::string> settings{};
};

class PostgresServer {
  public:
    // Makes the cluster and starts it, with a database "hq". Throws PostgresMissing when the
    // binaries are missing, std::runtime_error when the server does not start.
    explicit PostgresServer(PostgresSetup setup = {});
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // A fast shutdown (SIGINT): clients are disconnected, the server checkpoints and ends.
    void Stop();
    // Again on the same port, from the same data.
    void Start();
    // SIGKILL to the server and every one of its processes: a crash.
    void Kill();
    bool Running() const { return pid_ > 0; }
    // The postmaster; the server's other processes are its children.
    pid_t Pid() const { return pid_; }

    int Port() const { return port_; }
    // A new, empty database, and the libpq connection string for it.
    std::string CreateDatabase(const std::string& name);
    // The libpq connection string of a database (TCP on the loopback port).
    std::string ConnectionString(const std::string& database = "hq") const;
    const std::filesystem::path& Directory() const { return directory_.Path(); }
    // What the server wrote to its log.
    std::string Log() const;

  private:
    void Launch();
    void WaitForEnd();
    TemporaryDirectory directory_;
    PostgresSetup setup_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace fuel::test
