#ifndef VORN_JOURNAL_SCHEMA_H_
#define VORN_JOURNAL_SCHEMA_H_

namespace vorn::journal {

// Journal schema, version 1: tables vorn_meta (seeded with schema_version '1'), flows,
// steps, cache and outbox, with the indexes flows_incomplete, steps_by_key and
// cache_expiry, created in that order. outbox is reserved for a reliable event handoff
// and is never read or written by this system. Both flavours hold the same columns and
// check sets, so a PostgreSQL journal equals an SQLite one at the row level.

inline constexpr char kSchemaVersion[] = "1";

// Applied on every SQLite connection before anything else, in this order.
inline constexpr char kSqliteConnectionPragmas[] =
    "PRAGMA busy_timeout = 5000;\n"
    "PRAGMA journal_mode = WAL;\n"
    "PRAGMA foreign_keys = ON;\n"
    "PRAGMA synchronous = NORMAL;";

// Runs once, inside the opening transaction, when the file has no `flows` table.
inline constexpr char kSqliteSchemaScript[] = R"sql(PRAGMA journal_mode = WAL;
PRAGMA foreign_keys = ON;
CREATE TABLE vorn_meta (
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL
) WITHOUT ROWID;
INSERT INTO vorn_meta (key, value) VALUES ('schema_version', '1');
CREATE TABLE flows (
  flow_id TEXT PRIMARY KEY,
  entrypoint TEXT NOT NULL,
  args_hash TEXT NOT NULL,
  code_hash TEXT,
  status TEXT NOT NULL CHECK (status IN ('running','completed','failed','dead')),
  lease_holder TEXT,
  lease_expires INTEGER,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL
);
CREATE INDEX flows_incomplete ON flows (status, lease_expires);
CREATE TABLE steps (
  flow_id TEXT NOT NULL REFERENCES flows (flow_id),
  seq INTEGER NOT NULL,
  step_key TEXT NOT NULL,
  kind TEXT NOT NULL CHECK (kind IN ('effect','time','random','subprocess','marker')),
  attempt INTEGER NOT NULL DEFAULT 1,
  outcome TEXT NOT NULL CHECK (outcome IN ('ok','error','running')),
  payload BLOB,
  error_class TEXT,
  started_at INTEGER NOT NULL,
  ended_at INTEGER,
  PRIMARY KEY (flow_id, seq)
);
CREATE INDEX steps_by_key ON steps (flow_id, step_key);
CREATE TABLE cache (
  key TEXT PRIMARY KEY,
  value BLOB NOT NULL,
  expires_at INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX cache_expiry ON cache (expires_at);
CREATE TABLE outbox (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  flow_id TEXT REFERENCES flows (flow_id),
  destination TEXT NOT NULL,
  payload BLOB NOT NULL,
  status TEXT NOT NULL DEFAULT 'pending' CHECK (status IN ('pending','sent','failed'))
);
)sql";

// Idempotent (IF NOT EXISTS, ON CONFLICT DO NOTHING): runs as one batch on every open.
inline constexpr char kPostgresSchemaScript[] = R"sql(CREATE TABLE IF NOT EXISTS vorn_meta (
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
INSERT INTO vorn_meta (key, value) VALUES ('schema_version', '1') ON CONFLICT (key) DO NOTHING;
CREATE TABLE IF NOT EXISTS flows (
  flow_id TEXT PRIMARY KEY,
  entrypoint TEXT NOT NULL,
  args_hash TEXT NOT NULL,
  code_hash TEXT,
  status TEXT NOT NULL CHECK (status IN ('running','completed','failed','dead')),
  lease_holder TEXT,
  lease_expires BIGINT,
  created_at BIGINT NOT NULL,
  updated_at BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS flows_incomplete ON flows (status, lease_expires);
CREATE TABLE IF NOT EXISTS steps (
  flow_id TEXT NOT NULL REFERENCES flows (flow_id),
  seq BIGINT NOT NULL,
  step_key TEXT NOT NULL,
  kind TEXT NOT NULL CHECK (kind IN ('effect','time','random','subprocess','marker')),
  attempt BIGINT NOT NULL DEFAULT 1,
  outcome TEXT NOT NULL CHECK (outcome IN ('ok','error','running')),
  payload BYTEA,
  error_class TEXT,
  started_at BIGINT NOT NULL,
  ended_at BIGINT,
  PRIMARY KEY (flow_id, seq)
);
CREATE INDEX IF NOT EXISTS steps_by_key ON steps (flow_id, step_key);
CREATE TABLE IF NOT EXISTS cache (
  key TEXT PRIMARY KEY,
  value BYTEA NOT NULL,
  expires_at BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS cache_expiry ON cache (expires_at);
CREATE TABLE IF NOT EXISTS outbox (
  id BIGSERIAL PRIMARY KEY,
  flow_id TEXT REFERENCES flows (flow_id),
  destination TEXT NOT NULL,
  payload BYTEA NOT NULL,
  status TEXT NOT NULL DEFAULT 'pending' CHECK (status IN ('pending','sent','failed'))
);
)sql";

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_SCHEMA_H_
