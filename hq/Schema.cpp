#include "hq/Schema.h"

#include <string>

namespace fuel::hq {
namespace {

// The key of the advisory lock that migrating workers take turns under ("hqsc").
constexpr std::int64_t kMigrationLock = 0x68717363;

constexpr std::string_view kVersion1 = R"sql(
-- Every station the head office has heard of: who it is (its retained info), whether it is
-- there (its retained status and last will), and how far its events have come. One row per
-- station, locked by the intake of its events so that the watermark moves in one place.
CREATE TABLE stations (
    id text PRIMARY KEY,
    groups text[] NOT NULL DEFAULT '{}',
    version text,
    info jsonb,                          -- the last info message, whole
    status text NOT NULL DEFAULT 'unknown' CHECK (status IN ('unknown', 'online', 'offline')),
    status_since timestamptz,            -- when the status last changed, as received
    last_event_at timestamptz,           -- when the last event of it was received
    published bigint NOT NULL DEFAULT 0, -- the highest sequence received
    watermark bigint NOT NULL DEFAULT 0, -- every event 1..watermark is held
    applied bigint NOT NULL DEFAULT 0,   -- the derived tables hold events 1..applied
    gap_since timestamptz,               -- the watermark has stood below a held event since
    replay_asked_at timestamptz,         -- the missing events were last asked for
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE INDEX stations_groups ON stations USING gin (groups);
CREATE INDEX stations_gaps ON stations (gap_since) WHERE gap_since IS NOT NULL;

-- Every journal event of every station, stored once, exactly as the station sent it. Spread
-- by station over partitions, so that they can later move to servers of their own.
CREATE TABLE events (
    station text NOT NULL,
    sequence bigint NOT NULL,            -- the station's journal number, from 1
    type text NOT NULL,
    at timestamptz NOT NULL,             -- when the station journaled it
    data jsonb NOT NULL,
    received_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, sequence)
) PARTITION BY HASH (station);
CREATE TABLE events_0 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 0);
CREATE TABLE events_1 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 1);
CREATE TABLE events_2 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 2);
CREATE TABLE events_3 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 3);
CREATE TABLE events_4 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 4);
CREATE TABLE events_5 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 5);
CREATE TABLE events_6 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 6);
CREATE TABLE events_7 PARTITION OF events FOR VALUES WITH (MODULUS 8, REMAINDER 7);

-- Every sale as the latest of its events says (each change of a sale is an event with the
-- whole sale): the head office's copy of each station's sales. Money and volume as numeric,
-- so that reports add them up exactly as the station wrote them.
CREATE TABLE sales (
    station text NOT NULL,
    id bigint NOT NULL,                  -- the station's sale id
    fuel_point integer NOT NULL,
    nozzle integer NOT NULL,
    grade text NOT NULL,
    price numeric NOT NULL,
    volume numeric NOT NULL,
    amount numeric NOT NULL,
    state text NOT NULL,                 -- PAYABLE, LOCKED, CLEARED
    authorised_by text,
    locked_by text,
    cleared_by text,
    started_at timestamptz,
    ended_at timestamptz,
    locked_at timestamptz,
    cleared_at timestamptz,
    data jsonb NOT NULL,                 -- the sale as the station sent it
    sequence bigint NOT NULL,            -- the event that made it so
    PRIMARY KEY (station, id)
);
CREATE INDEX sales_ended ON sales (ended_at, station);
CREATE INDEX sales_station_ended ON sales (station, ended_at);
CREATE INDEX sales_waiting ON sales (station, fuel_point) WHERE state <> 'CLEARED';

-- Each station's fuel points as their last state event shows them.
CREATE TABLE fuel_points (
    station text NOT NULL,
    id integer NOT NULL,
    state text NOT NULL,                 -- IDLE, CALLING, FUELLING, ...
    data jsonb NOT NULL,                 -- the fuel point as the station sent it
    sequence bigint NOT NULL,
    at timestamptz NOT NULL,
    PRIMARY KEY (station, id)
);

-- Each station's price per grade, from its last price report.
CREATE TABLE prices (
    station text NOT NULL,
    grade text NOT NULL,
    name text,
    price numeric NOT NULL,
    nozzles jsonb NOT NULL DEFAULT '[]', -- the controllers' read-back of that change
    sequence bigint NOT NULL,
    at timestamptz NOT NULL,
    PRIMARY KEY (station, grade)
);

-- What a person must look at: a station's own alarm events (sequence: the event), and the
-- head office's alarms about a station (sequence NULL; cleared when the cause ends).
CREATE TABLE alarms (
    id bigserial PRIMARY KEY,
    station text NOT NULL,
    kind text NOT NULL,
    fuel_point integer,
    message text NOT NULL,
    data jsonb NOT NULL DEFAULT '{}',
    sequence bigint,
    raised_at timestamptz NOT NULL,
    cleared_at timestamptz,
    acknowledged_at timestamptz,
    acknowledged_by text,
    UNIQUE (station, sequence)
);
-- At most one open head-office alarm of a kind per station.
CREATE UNIQUE INDEX alarms_open_own ON alarms (station, kind)
    WHERE sequence IS NULL AND cleared_at IS NULL;
CREATE INDEX alarms_unacknowledged ON alarms (raised_at) WHERE acknowledged_at IS NULL;

-- The API's bearer tokens, kept only as their SHA-256; the roles are the API's words.
CREATE TABLE tokens (
    id bigserial PRIMARY KEY,
    hash text NOT NULL UNIQUE,
    role text NOT NULL,
    name text NOT NULL,
    created_at timestamptz NOT NULL DEFAULT now(),
    revoked_at timestamptz
);

-- The chain's changes that live clients follow (a station's status, an alarm raised,
-- cleared or acknowledged), numbered in commit order for an event stream with resume.
CREATE TABLE changes (
    id bigint PRIMARY KEY,
    at timestamptz NOT NULL DEFAULT now(),
    kind text NOT NULL,                  -- "station", "alarm"
    station text,
    data jsonb NOT NULL
);
)sql";

// What the derived tables read from an event's data: a value of the expected JSON type, or
// NULL, never an error. A station's malformed event must not stop every later one from being
// applied. And times as the API writes them, RFC 3339 in UTC with milliseconds.
constexpr std::string_view kVersion2 = R"sql(
CREATE FUNCTION hq_number(value jsonb) RETURNS numeric
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN jsonb_typeof(value) = 'number' THEN value::text::numeric END;

CREATE FUNCTION hq_integer(value jsonb) RETURNS integer
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN jsonb_typeof(value) = 'number' AND value::text ~ '^-?[0-9]{1,9}$'
                THEN value::text::integer END;

CREATE FUNCTION hq_bigint(value jsonb) RETURNS bigint
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN jsonb_typeof(value) = 'number' AND value::text ~ '^-?[0-9]{1,18}$'
                THEN value::text::bigint END;

CREATE FUNCTION hq_days_in_month(year integer, month integer) RETURNS integer
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN month = 2 THEN
                    CASE WHEN (year % 4 = 0 AND year % 100 <> 0) OR year % 400 = 0 THEN 29 ELSE 28 END
                WHEN month IN (4, 6, 9, 11) THEN 30
                ELSE 31 END;

CREATE FUNCTION hq_text(value jsonb) RETURNS text
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN jsonb_typeof(value) = 'string' THEN value #>> '{}' END;

-- Only a full RFC 3339 time with its offset (its meaning then depends on no setting), and
-- only a day the month has: checked before the cast, which would fail the whole statement.
-- Plain SQL, so that it is inlined: an exception handler would cost a subtransaction a call.
CREATE FUNCTION hq_time(value jsonb) RETURNS timestamptz
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN CASE WHEN jsonb_typeof(value) = 'string'
                 AND (value #>> '{}') ~ '^\d{4}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])[Tt]([01]\d|2[0-3]):[0-5]\d:[0-5]\d(\.\d{1,6})?([Zz]|[+-]([01]\d|2[0-3]):[0-5]\d)$'
           THEN CASE WHEN substr(value #>> '{}', 1, 4)::integer > 0
                      AND substr(value #>> '{}', 9, 2)::integer <= hq_days_in_month(
                              substr(value #>> '{}', 1, 4)::integer,
                              substr(value #>> '{}', 6, 2)::integer)
                THEN (value #>> '{}')::timestamptz END
           END;

CREATE FUNCTION hq_time_text(value timestamptz) RETURNS text
    LANGUAGE sql IMMUTABLE PARALLEL SAFE
    RETURN to_char(value AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"');
)sql";

// Price campaigns: a price for a grade at a fixed set of stations, once or at a set time,
// with each station's outcome; and the bounds an administrator sets, which win over the
// configuration's for their grade.
constexpr std::string_view kVersion3 = R"sql(
CREATE TABLE price_bounds (
    grade text PRIMARY KEY,
    lowest numeric,                      -- NULL: no such bound
    highest numeric,
    largest_change numeric,              -- from a station's current price, either way
    set_by text NOT NULL,
    set_at timestamptz NOT NULL DEFAULT now()
);

CREATE TABLE campaigns (
    id bigserial PRIMARY KEY,
    grade text NOT NULL,
    price numeric NOT NULL,
    stations text[] NOT NULL DEFAULT '{}', -- as asked
    groups text[] NOT NULL DEFAULT '{}',   -- as asked
    at timestamptz,                      -- when it takes effect; NULL: at once
    note text,
    held jsonb NOT NULL DEFAULT '[]',    -- the bounds it broke: sent only once approved
    created_by text NOT NULL,
    created_at timestamptz NOT NULL DEFAULT now(),
    request_key text,                    -- the creator's Idempotency-Key: a repeat makes none
    approved_by text,
    approved_at timestamptz,
    cancelled_by text,
    cancelled_at timestamptz,
    UNIQUE (created_by, request_key)
);

-- Each target station's answer. A row is due to be sent while it is pending or unreachable
-- and its next_send_at has come (NULL: at once); the worker that sends it takes the row's
-- lock (SKIP LOCKED, so several workers share them) and sets when to send it again.
CREATE TABLE campaign_outcomes (
    campaign bigint NOT NULL REFERENCES campaigns,
    station text NOT NULL,
    state text NOT NULL DEFAULT 'pending' CHECK (state IN ('pending', 'applied', 'failed',
        'unreachable', 'superseded', 'cancelled')),
    reason text,
    message text,
    sent_at timestamptz,                 -- last sent
    next_send_at timestamptz,            -- sent again then, if no answer came
    answered_at timestamptz,
    attempts integer NOT NULL DEFAULT 0,
    PRIMARY KEY (campaign, station)
);
CREATE INDEX campaign_outcomes_open ON campaign_outcomes (campaign)
    WHERE state IN ('pending', 'unreachable');
CREATE INDEX campaign_outcomes_station ON campaign_outcomes (station, campaign);

-- A campaign with its state and counts, made in one place for the API and the change stream.
CREATE VIEW campaign_states AS
SELECT c.*,
    jsonb_build_object(
        'pending', count(o.station) FILTER (WHERE o.state = 'pending'),
        'applied', count(o.station) FILTER (WHERE o.state = 'applied'),
        'failed', count(o.station) FILTER (WHERE o.state = 'failed'),
        'unreachable', count(o.station) FILTER (WHERE o.state = 'unreachable'),
        'superseded', count(o.station) FILTER (WHERE o.state = 'superseded'),
        'cancelled', count(o.station) FILTER (WHERE o.state = 'cancelled')) AS counts,
    CASE WHEN c.cancelled_at IS NOT NULL THEN 'cancelled'
         WHEN jsonb_array_length(c.held) > 0 AND c.approved_at IS NULL THEN 'held'
         WHEN c.at > now() THEN 'scheduled'
         WHEN count(o.station) FILTER (WHERE o.state IN ('pending', 'unreachable')) > 0
             THEN 'sending'
         ELSE 'done' END AS state
FROM campaigns c LEFT JOIN campaign_outcomes o ON o.campaign = c.id
GROUP BY c.id;
)sql";

constexpr Migration kMigrations[] = {
    {1, "stations, events, derived tables, alarms, tokens, changes", kVersion1},
    {2, "reading the derived tables' values from events, writing times", kVersion2},
    {3, "price campaigns, their stations' outcomes, the grades' price bounds", kVersion3},
};

constexpr std::string_view kLedger = R"sql(
CREATE TABLE IF NOT EXISTS schema_migrations (
    version integer PRIMARY KEY,
    summary text NOT NULL,
    applied_at timestamptz NOT NULL DEFAULT now()
))sql";

// The session's advisory lock, let go on every way out (and by the server if we vanish).
class MigrationLock {
  public:
    explicit MigrationLock(Connection& connection) : connection_(connection) {
        connection_.Exec("SELECT pg_advisory_lock($1)", {kMigrationLock});
    }
    ~MigrationLock() {
        try {
            connection_.Exec("SELECT pg_advisory_unlock($1)", {kMigrationLock});
        } catch (const DatabaseError&) {
            // The connection went, and the lock with it.
        }
    }
    MigrationLock(const MigrationLock&) = delete;
    MigrationLock& operator=(const MigrationLock&) = delete;

  private:
    Connection& connection_;
};

int StoredVersion(Connection& connection) {
    const Result result =
        connection.Exec("SELECT coalesce(max(version), 0) FROM schema_migrations");
    return static_cast<int>(result.Integer(0, 0));
}

}  // namespace

std::span<const Migration> Migrations() {
    return kMigrations;
}

int LatestVersion() {
    return Migrations().back().version;
}

int SchemaVersion(Connection& connection) {
    const Result exists = connection.Exec("SELECT to_regclass('schema_migrations') IS NOT NULL");
    return exists.Boolean(0, 0) ? StoredVersion(connection) : 0;
}

int Migrate(Connection& connection) {
    return Migrate(connection, Migrations());
}

int Migrate(Connection& connection, std::span<const Migration> migrations) {
    MigrationLock lock(connection);
    connection.Exec(kLedger);
    int version = StoredVersion(connection);
    const int known = migrations.empty() ? 0 : migrations.back().version;
    if (version > known) {
        throw SchemaTooNew("the database's schema is at version " + std::to_string(version) +
                           ", newer than this fuel-hq knows (" + std::to_string(known) +
                           "): run a fuel-hq as new as the one that migrated it");
    }
    for (const Migration& migration : migrations) {
        if (migration.version <= version)
            continue;
        if (migration.version != version + 1) {
            throw std::logic_error("migration " + std::to_string(migration.version) +
                                   " does not follow " + std::to_string(version));
        }
        Transaction transaction(connection);
        connection.Script(migration.sql);
        connection.Exec("INSERT INTO schema_migrations (version, summary) VALUES ($1, $2)",
                        {migration.version, migration.summary});
        transaction.Commit();
        version = migration.version;
    }
    return version;
}

}  // namespace fuel::hq
