#include "bridge/Position.h"

namespace fuel::bridge {

std::vector<forecourt::Migration> Migrations() {
    return {forecourt::Migration{"mqtt", 1, [](forecourt::Connection& db) {
                                     db.Execute(
                                         "CREATE TABLE mqtt_published ("
                                         " station TEXT PRIMARY KEY,"
                                         " sequence INTEGER NOT NULL,"
                                         " at TEXT NOT NULL)");
                                 }}};
}

forecourt::Sequence ReadPosition(forecourt::Connection& db, const std::string& station) {
    forecourt::Statement& select =
        db.Prepare("SELECT sequence FROM mqtt_published WHERE station = ?1");
    select.Bind(1, station);
    const forecourt::Sequence position = select.Step() ? select.Integer(0) : 0;
    select.Reset();
    return position;
}

forecourt::Sequence ReadPosition(const forecourt::Journal& journal, const std::string& station) {
    return journal.Read([&](forecourt::Connection& db) { return ReadPosition(db, station); });
}

std::function<std::optional<forecourt::Sequence>(forecourt::Connection&)> HeldForBroker(
    std::string station) {
    return [station = std::move(station)](forecourt::Connection& db) {
        return std::optional<forecourt::Sequence>(ReadPosition(db, station));
    };
}

void WritePosition(forecourt::Journal& journal, const std::string& station,
                   forecourt::Sequence sequence, std::function<void(std::exception_ptr)> done) {
    journal.Post(
        [station, sequence](forecourt::WriteTransaction& transaction) {
            transaction.Db()
                .Prepare(
                    "INSERT INTO mqtt_published (station, sequence, at) VALUES (?1, ?2, ?3)"
                    " ON CONFLICT (station) DO UPDATE SET sequence = excluded.sequence,"
                    " at = excluded.at WHERE excluded.sequence > sequence")
                .Bind(1, station)
                .Bind(2, static_cast<std::int64_t>(sequence))
                .Bind(3, forecourt::FormatTime(std::chrono::system_clock::now()))
                .Run();
        },
        std::move(done));
}

}  // namespace fuel::bridge
