// The API guide (docs/api.md) against the route table: a POS developer reads the guide, not
// the code, so a request the server answers must be in it, and a request the guide's
// reference describes must be one the server answers.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "server/Routes.h"

namespace fuel::test {
namespace {

const char* const kGuide = FUEL_SOURCE_DIR "/docs/api.md";

std::string ReadGuide() {
    std::ifstream file(kGuide, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Named(const http::Route& route) {
    return route.method + " " + route.path;
}

TEST(ApiGuideTest, NamesEveryRouteByMethodAndPath) {
    const std::string guide = ReadGuide();
    ASSERT_FALSE(guide.empty()) << kGuide << " cannot be read";
    for (const http::Route& route : server::Routes()) {
        EXPECT_NE(guide.find(Named(route)), std::string::npos)
            << kGuide << " does not name " << Named(route);
    }
}

// The reference's headings are "### `METHOD PATH`", one per request.
TEST(ApiGuideTest, DescribesNoRouteTheServerDoesNotAnswer) {
    std::set<std::string> routes;
    for (const http::Route& route : server::Routes())
        routes.insert(Named(route));
    std::istringstream guide(ReadGuide());
    const std::string heading = "### `";
    std::size_t described = 0;
    for (std::string line; std::getline(guide, line);) {
        if (line.rfind(heading, 0) != 0)
            continue;
        const std::size_t end = line.find('`', heading.size());
        if (end == std::string::npos)
            continue;
        const std::string named = line.substr(heading.size(), end - heading.size());
        if (named.find(" /") == std::string::npos)
            continue;  // a heading about something else
        ++described;
        EXPECT_EQ(routes.count(named), 1u)
            << kGuide << " describes " << named << ", which the route table does not hold";
    }
    EXPECT_EQ(described, routes.size()) << "one reference heading per route";
}

}  // namespace
}  // namespace fuel::test
