// The chain's changes that live clients follow (the changes table): each numbered in the
// order of the commits that made them, so that a reader that has seen change N and reads
// after it misses none. The numbers are taken under a transaction-long advisory lock: a
// transaction that adds a change holds the next number until it commits or rolls back, and
// the next adder waits for it (changes are few: a status, an alarm).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "hq/Database.h"

namespace fuel::hq {

// Adds a change inside the caller's transaction (it must be in one); returns its number.
std::int64_t AddChange(Connection& db, const std::string& kind, const std::string& station,
                       const nlohmann::json& data);
// The last change's number; 0 when there is none.
std::int64_t LastChange(Connection& db);

struct Change {
    std::int64_t id = 0;
    std::string kind;
    std::string json;  // {"id", "kind", "at", "station", "data"} on one line
};
// The changes after `after`, at most `limit`, in order.
std::vector<Change> ReadChanges(Connection& db, std::int64_t after, std::size_t limit);

}  // namespace fuel::hq
