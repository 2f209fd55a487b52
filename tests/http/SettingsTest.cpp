#include "http/Settings.h"

#include <gtest/gtest.h>

namespace fuel::http {
namespace {

// Plain HTTP is refused off the loopback: an address taken for loopback wrongly would serve
// tokens in clear text to the network.
TEST(SettingsTest, TellsLoopbackAddressesApart) {
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "::ffff:127.0.0.1", "localhost"})
        EXPECT_TRUE(IsLoopback(host)) << host;
    for (const char* host : {"0.0.0.0", "::", "10.0.0.1", "::ffff:10.0.0.1", "128.0.0.1", "::2",
                             "fe80::1", "example.org", "localhost.", ""}) {
        EXPECT_FALSE(IsLoopback(host)) << host;
    }
}

}  // namespace
}  // namespace fuel::http
