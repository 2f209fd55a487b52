#include "forecourt/Schema.h"

namespace fuel::forecourt {

const std::vector<std::string_view>& ForecourtMigrations() {
    static const std::vector<std::string_view> migrations = {
        // 1: the first schema.
        R"sql(
CREATE TABLE schema_layers (
    layer TEXT PRIMARY KEY,
    version INTEGER NOT NULL
);
CREATE TABLE events (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    at TEXT NOT NULL,
    type TEXT NOT NULL,
    data TEXT NOT NULL
);
CREATE TABLE fills (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    fuel_point INTEGER NOT NULL,
    state TEXT NOT NULL,
    preset_kind TEXT NOT NULL,
    preset_value REAL NOT NULL,
    grades TEXT NOT NULL,
    prepaid INTEGER NOT NULL,
    authorised_by TEXT NOT NULL,
    authorised_at TEXT NOT NULL,
    nozzle INTEGER,
    grade TEXT,
    price REAL,
    total_before REAL,
    started_at TEXT,
    volume REAL,
    amount REAL,
    total_after REAL,
    ended_at TEXT,
    locked_by TEXT,
    locked_at TEXT,
    cleared_by TEXT,
    cleared_at TEXT,
    cancel_reason TEXT
);
CREATE INDEX fills_by_state ON fills (state, fuel_point);
CREATE INDEX fills_by_end ON fills (ended_at);
CREATE TABLE requests (
    client TEXT NOT NULL,
    key TEXT NOT NULL,
    request TEXT NOT NULL,
    outcome TEXT,
    at TEXT NOT NULL,
    PRIMARY KEY (client, key)
);
CREATE TABLE grades (
    code TEXT PRIMARY KEY,
    price REAL NOT NULL,
    changed_at TEXT NOT NULL
);
CREATE TABLE fuel_points (
    id INTEGER PRIMARY KEY,
    closed INTEGER NOT NULL
);
CREATE TABLE readings (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    fuel_point INTEGER NOT NULL,
    nozzle INTEGER NOT NULL,
    volume REAL NOT NULL,
    at TEXT NOT NULL,
    source TEXT NOT NULL
);
CREATE INDEX readings_by_nozzle ON readings (fuel_point, nozzle, at);
)sql",
        // 2: fills released at the pump, and amounts the controller did not give.
        R"sql(
ALTER TABLE fills ADD COLUMN origin TEXT NOT NULL DEFAULT 'api';
ALTER TABLE fills ADD COLUMN amount_computed INTEGER NOT NULL DEFAULT 0;
)sql",
        // 3: an index for every question the API asks of a year of journal, so that none
        // reads a whole table. The sales' lists are newest first by their end (the rowid
        // last, as every index holds it), one index per combination of state and fuel point;
        // the reconciliation finds a nozzle's first and last totals and sums its sales from
        // the index alone (volume in it); restarts find the unfinished requests at once.
        // The lists' partial indexes name the sale states as the queries do, word for word.
        R"sql(
DROP INDEX fills_by_state;
DROP INDEX fills_by_end;
CREATE INDEX fills_by_state_point_end ON fills (state, fuel_point, ended_at);
CREATE INDEX fills_by_state_end ON fills (state, ended_at);
CREATE INDEX sales_by_end ON fills (ended_at)
    WHERE state IN ('PAYABLE', 'LOCKED', 'CLEARED');
CREATE INDEX sales_by_point_end ON fills (fuel_point, ended_at)
    WHERE state IN ('PAYABLE', 'LOCKED', 'CLEARED');
CREATE INDEX sales_by_nozzle_end ON fills (fuel_point, nozzle, ended_at, volume)
    WHERE state IN ('PAYABLE', 'LOCKED', 'CLEARED');
CREATE INDEX fills_by_nozzle_start ON fills (fuel_point, nozzle, started_at)
    WHERE state IN ('FUELLING', 'PAYABLE', 'LOCKED', 'CLEARED');
CREATE INDEX readings_resets ON readings (fuel_point, nozzle, at) WHERE source = 'reset';
CREATE INDEX requests_unfinished ON requests (client, key) WHERE outcome IS NULL;
)sql",
    };
    return migrations;
}

}  // namespace fuel::forecourt
