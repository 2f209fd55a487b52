// What every token store shares: how a token is made, what is kept of it, and what a
// principal may be called.
#include "http/TokenStore.h"

#include <gtest/gtest.h>

#include <set>

namespace fuel::http {
namespace {

TEST(TokenStoreTest, HashesAsSha256) {
    EXPECT_EQ(HashToken("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashToken(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(TokenStoreTest, MakesTokensOf32RandomBytesInBase64Url) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; ++i) {
        const std::string token = NewToken();
        EXPECT_EQ(token.size(), 43u);
        EXPECT_EQ(token.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 64u);
}

TEST(TokenStoreTest, TellsPrincipalNamesFromOthers) {
    struct Case {
        std::string name;
        bool ok;
    };
    const Case cases[] = {
        {"till-1", true},
        {"Back_Office.2", true},
        {std::string(64, 'a'), true},
        {std::string(65, 'a'), false},
        {"", false},
        {"two words", false},
        {"till/4", false},
        {"\xd0\xba"
         "assa",
         false},
        {"till\n", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsPrincipalName(c.name), c.ok) << c.name;
}

}  // namespace
}  // namespace fuel::http
