// A database of its own for each test, on one private PostgreSQL per test program, with the
// head office's schema in it. Skips when the server's binaries are not installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hq/Database.h"
#include "testing/PostgresServer.h"

namespace fuel::hq::test {

// The program's server, started at the first use; nullptr (and why) when there is none.
inline fuel::test::PostgresServer* SharedServer(std::string& why) {
    static std::unique_ptr<fuel::test::PostgresServer> server;
    static std::string missing;
    static bool tried = false;
    if (!tried) {
        tried = true;
        try {
            // These tests never crash the server: commits need not wait for the disk.
            server = std::make_unique<fuel::test::PostgresServer>(
                fuel::test::PostgresSetup{.durable = false});
        } catch (const fuel::test::PostgresMissing& error) {
            missing = error.what();
        }
    }
    why = missing;
    return server.get();
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        server_ = SharedServer(why);
        if (server_ == nullptr)
            GTEST_SKIP() << why;
        static int databases = 0;
        url_ = server_->CreateDatabase("test_" + std::to_string(++databases));
        db_ = std::make_unique<Connection>(url_);
    }
    Connection& Db() { return *db_; }
    const std::string& Url() const { return url_; }
    fuel::test::PostgresServer& Server() { return *server_; }

  private:
    fuel::test::PostgresServer* server_ = nullptr;
    std::string url_;
    std::unique_ptr<Connection> db_;
};

}  // namespace fuel::hq::test
