// Tokens in a real database file, through the journal's writer as the server uses it.
#include "server/Tokens.h"

#include <gtest/gtest.h>

#include "testing/TestFiles.h"

namespace fuel::server {
namespace {

class TokensTest : public testing::Test {
  protected:
    TokensTest() { Open(); }
    ~TokensTest() override { Close(); }

    void Open() {
        journal_ = std::make_unique<forecourt::Journal>(Path(), ServerMigrations());
        journal_->Start();
        tokens_ = std::make_unique<Tokens>(*journal_);
    }
    void Close() {
        tokens_.reset();
        if (journal_)
            journal_->Stop();
        journal_.reset();
    }
    std::filesystem::path Path() const { return dir_.Path() / "forecourt.db"; }

    test::TemporaryDirectory dir_;
    std::unique_ptr<forecourt::Journal> journal_;
    std::unique_ptr<Tokens> tokens_;
};

TEST_F(TokensTest, KeepsOnlyTheHashOfATokenAndKnowsItsHolder) {
    const std::string token = tokens_->Add("till-1", Role::Pos);
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(
        token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
    const auto client = tokens_->Authenticate(token);
    ASSERT_TRUE(client.has_value());
    EXPECT_EQ(client->name, "till-1");
    EXPECT_EQ(client->role, Name(Role::Pos));
    EXPECT_FALSE(tokens_->Authenticate(token.substr(1)).has_value());
    EXPECT_FALSE(tokens_->Authenticate("").has_value());
    EXPECT_FALSE(tokens_->Authenticate(std::string(10000, 'a')).has_value());
    Close();
    // Neither the token nor anything of it but its hash is anywhere in the files.
    std::string files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
        files += test::ReadBytes(entry.path());
    }
    EXPECT_EQ(files.find(token), std::string::npos);
    EXPECT_NE(files.find(http::HashToken(token)), std::string::npos);
}

TEST_F(TokensTest, ListsTheLiveTokensByNameWithoutThem) {
    tokens_->Add("till-2", Role::Pos);
    tokens_->Add("office", Role::Backoffice);
    const std::vector<TokenEntry> entries = tokens_->List();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "office");
    EXPECT_EQ(entries[0].role, Role::Backoffice);
    EXPECT_EQ(entries[1].name, "till-2");
    EXPECT_TRUE(forecourt::ParseTime(entries[1].createdAt).has_value());
}

TEST_F(TokensTest, RevokesSoThatTheTokenNoLongerOpensAndTheNameIsFreeAgain) {
    const std::string old = tokens_->Add("till-3", Role::Pos);
    tokens_->Revoke("till-3");
    EXPECT_FALSE(tokens_->Authenticate(old).has_value());
    EXPECT_TRUE(tokens_->List().empty());
    EXPECT_THROW(tokens_->Revoke("till-3"), TokenError);
    const std::string renewed = tokens_->Add("till-3", Role::Viewer);
    EXPECT_EQ(tokens_->Authenticate(renewed)->role, Name(Role::Viewer));
    EXPECT_FALSE(tokens_->Authenticate(old).has_value());
}

TEST_F(TokensTest, RefusesATakenNameAndNamesThatAreNotNames) {
    tokens_->Add("till-4", Role::Pos);
    EXPECT_THROW(tokens_->Add("till-4", Role::Viewer), TokenError);
    for (const std::string& name :
         std::vector<std::string>{"", "two words", std::string(65, 'a'), "till/4", "кasса"}) {
        EXPECT_THROW(tokens_->Add(name, Role::Pos), TokenError) << name;
    }
    EXPECT_NO_THROW(tokens_->Add(std::string(64, 'a'), Role::Pos));
    ASSERT_EQ(tokens_->List().size(), 2u);
    EXPECT_EQ(tokens_->List()[1].name, "till-4");
    EXPECT_EQ(tokens_->List()[1].role, Role::Pos);
}

TEST_F(TokensTest, OutlivesTheProcessThatMadeThem) {
    const std::string token = tokens_->Add("till-5", Role::Technician);
    Close();
    Open();
    ASSERT_TRUE(tokens_->Authenticate(token).has_value());
    EXPECT_EQ(tokens_->Authenticate(token)->role, Name(Role::Technician));
}

}  // namespace
}  // namespace fuel::server
