// The web console as the daemon serves it, in this process: every file of web/ at its
// address, byte for byte, with the type a browser needs to run it and the console's policy;
// every file the page and its modules name is there; and GET /api/v1/client, which the
// console asks what it may offer.
#include <filesystem>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "server/StaticFiles.h"
#include "tests/server/ServerTestSupport.h"

namespace fuel::test {
namespace {

namespace fs = std::filesystem;
using http::Response;
using nlohmann::json;

const fs::path kWeb = fs::path(FUEL_SOURCE_DIR) / "web";

class ConsoleTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { station_ = new Station(false); }
    static void TearDownTestSuite() {
        delete station_;
        station_ = nullptr;
    }

    ConsoleTest()
        : api_(server::Context{station_->Forecourt(), station_->Tokens(), counters_, nullptr}) {}

    Response Get(const std::string& target, const std::string& client = "") {
        return Ask(api_,
                   MakeRequest("GET", target, client.empty() ? "" : station_->Bearer(client)));
    }

    static std::string Header(const Response& response, const std::string& name) {
        for (const auto& [key, value] : response.headers) {
            if (key == name)
                return value;
        }
        return "";
    }

    static Station* station_;
    http::ServerCounters counters_;
    server::Api api_;
};

Station* ConsoleTest::station_ = nullptr;

// What a browser needs to take each kind of file for what it is (a module script is refused
// under any other type).
const std::map<std::string, std::string> kTypes = {
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
};

// Files of web/ that are not the page's: package.json tells node (which runs the modules'
// tests) that the scripts are modules; the browser learns that from index.html.
const std::set<std::string> kNotServed = {"package.json"};

TEST_F(ConsoleTest, ServesEveryFileOfWebWithItsTypeAndThePolicy) {
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(kWeb)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        if (kNotServed.count(name)) {
            EXPECT_EQ(Get("/assets/" + name).status, 404);
            continue;
        }
        ASSERT_TRUE(kTypes.count(entry.path().extension().string()))
            << "web/ holds a file the console does not serve";
        ++files;
        for (const std::string& target :
             {"/assets/" + name, name == "index.html" ? std::string("/") : "/assets/" + name}) {
            const Response response = Get(target);
            ASSERT_EQ(response.status, 200) << target;
            EXPECT_EQ(response.body, ReadBytes(entry.path()));
            EXPECT_EQ(response.contentType, kTypes.at(entry.path().extension().string()));
            EXPECT_EQ(Header(response, "Content-Security-Policy"), http::kConsolePolicy);
            EXPECT_EQ(Header(response, "X-Content-Type-Options"), "nosniff");
        }
    }
    EXPECT_EQ(files, server::ConsoleFiles().Files().size());
    EXPECT_GE(files, 4u);
}

TEST_F(ConsoleTest, EveryFileThePageAndItsModulesNameIsServed) {
    std::set<std::string> named;
    const std::regex page(R"re(/assets/([\w.-]+))re");
    const std::regex module(R"re(from '\./([\w.-]+)')re");
    for (const auto& entry : fs::directory_iterator(kWeb)) {
        const std::string text = ReadBytes(entry.path());
        const std::regex& pattern = entry.path().extension() == ".html" ? page : module;
        for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
            named.insert((*it)[1]);
    }
    EXPECT_GE(named.size(), 5u);
    for (const std::string& name : named)
        EXPECT_EQ(Get("/assets/" + name).status, 200) << name;
}

TEST_F(ConsoleTest, AnythingElseIsNotThere) {
    const struct {
        const char* method;
        const char* target;
        int status;
    } cases[] = {
        {"GET", "/assets/nothing.js", 404},    {"GET", "/assets/..%2Fserver%2FApi.cpp", 404},
        {"GET", "/assets/../index.html", 404}, {"GET", "/assets/", 404},
        {"GET", "/index.html", 404},           {"POST", "/", 405},
        {"PUT", "/assets/console.js", 405},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.target);
        const Response response = Ask(api_, MakeRequest(c.method, c.target));
        EXPECT_EQ(response.status, c.status);
        EXPECT_EQ(response.contentType, "application/json");
    }
}

TEST_F(ConsoleTest, TheClientLearnsItsNameRoleAndWhatItMayDo) {
    const struct {
        const char* client;
        const char* role;
        json permissions;
    } cases[] = {
        {"viewer1", "viewer", {"read"}},
        {"pos1", "pos", {"read", "sell", "emergency-stop"}},
        {"backoffice1", "backoffice", {"read", "sell", "emergency-stop", "close", "price"}},
        {"technician1", "technician", {"read", "emergency-stop", "close"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.client);
        const Response response = Get("/api/v1/client", c.client);
        ASSERT_EQ(response.status, 200);
        EXPECT_EQ(json::parse(response.body),
                  (json{{"name", c.client}, {"role", c.role}, {"permissions", c.permissions}}));
    }
    EXPECT_EQ(Get("/api/v1/client").status, 401);
}

}  // namespace
}  // namespace fuel::test
