#include "journal/sqlite_journal.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "journal/schema.h"

namespace vorn::journal {
namespace {

constexpr int kOpenFlags =
    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
constexpr int kOpenAttempts = 8;
constexpr std::chrono::milliseconds kOpenBackoffStep{5};

#define VORN_FLOW_COLS                                                                           \
  "flow_id, entrypoint, args_hash, code_hash, status, lease_holder, lease_expires, created_at, " \
  "updated_at"

constexpr std::string_view kTableExistsSql =
    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1";
constexpr std::string_view kPurgeCacheSql = "DELETE FROM cache WHERE expires_at <= ?1";
constexpr std::string_view kBeginFlowSql =
    "INSERT INTO flows (flow_id, entrypoint, args_hash, code_hash, status, lease_holder, "
    "lease_expires, created_at, updated_at) VALUES (?1, ?2, ?3, ?4, 'running', NULL, NULL, ?5, "
    "?5) ON CONFLICT(flow_id) DO NOTHING";
constexpr std::string_view kRecordStepSql =
    "INSERT INTO steps (flow_id, seq, step_key, kind, attempt, outcome, payload, error_class, "
    "started_at, ended_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) ON CONFLICT(flow_id, "
    "seq) DO UPDATE SET step_key = excluded.step_key, kind = excluded.kind, attempt = "
    "excluded.attempt, outcome = excluded.outcome, payload = excluded.payload, error_class = "
    "excluded.error_class, ended_at = excluded.ended_at";
constexpr std::string_view kLookupStepSql =
    "SELECT kind, attempt, outcome, payload, error_class, started_at, ended_at FROM steps WHERE "
    "flow_id = ?1 AND seq = ?2 AND step_key = ?3";
constexpr std::string_view kStepAtSql =
    "SELECT step_key, kind, attempt, outcome, payload, error_class, started_at, ended_at FROM "
    "steps WHERE flow_id = ?1 AND seq = ?2";
constexpr std::string_view kGetFlowSql = "SELECT " VORN_FLOW_COLS " FROM flows WHERE flow_id = ?1";
constexpr std::string_view kCompleteFlowSql =
    "UPDATE flows SET status = ?2, updated_at = ?3, lease_holder = NULL, lease_expires = NULL "
    "WHERE flow_id = ?1 AND status != 'completed'";
constexpr std::string_view kIncompleteExpiredSql =
    "SELECT " VORN_FLOW_COLS
    " FROM flows WHERE status = 'running' AND (lease_expires IS NULL OR lease_expires < ?1) "
    "ORDER BY flow_id";
constexpr std::string_view kIncompleteLiveSql =
    "SELECT " VORN_FLOW_COLS
    " FROM flows WHERE status = 'running' AND lease_expires IS NOT NULL AND lease_expires >= ?1 "
    "ORDER BY flow_id";
constexpr std::string_view kAcquireLeaseSql =
    "UPDATE flows SET lease_holder = ?2, lease_expires = ?3, updated_at = ?4 WHERE flow_id = ?1 "
    "AND status = 'running' AND (lease_holder IS NULL OR lease_holder = ?2 OR lease_expires IS "
    "NULL OR lease_expires < ?4)";
constexpr std::string_view kPutCacheSql =
    "INSERT INTO cache (key, value, expires_at) VALUES (?1, ?2, ?3) ON CONFLICT(key) DO UPDATE "
    "SET value = excluded.value, expires_at = excluded.expires_at";
constexpr std::string_view kGetCacheSql =
    "SELECT value FROM cache WHERE key = ?1 AND expires_at > ?2";
constexpr std::string_view kFlowsByEntrypointSql =
    "SELECT " VORN_FLOW_COLS " FROM flows WHERE entrypoint = ?1 ORDER BY created_at";
constexpr std::string_view kStepsForFlowSql =
    "SELECT step_key, kind, attempt, outcome, payload, error_class, started_at, ended_at FROM "
    "steps WHERE flow_id = ?1 ORDER BY seq";

#undef VORN_FLOW_COLS

// Row readers: columns in the order of the tables.
Result<FlowRowData, Error> flow_row(SqliteStatement& stmt) {
  FlowRowData row{stmt.text(0),           stmt.text(1),  stmt.text(2),
                  stmt.optional_text(3),  stmt.text(4),  stmt.optional_text(5),
                  stmt.optional_int64(6), stmt.int64(7), stmt.int64(8)};
  if (auto s = stmt.read_status(); !s.ok()) return s.error();
  return row;
}

Result<StepRowData, Error> step_row_from(SqliteStatement& stmt, int first) {
  StepRowData row{stmt.text(first),
                  stmt.int64(first + 1),
                  stmt.text(first + 2),
                  stmt.optional_blob(first + 3),
                  stmt.optional_text(first + 4),
                  stmt.int64(first + 5),
                  stmt.optional_int64(first + 6)};
  if (auto s = stmt.read_status(); !s.ok()) return s.error();
  return row;
}

Result<StepRowData, Error> step_row(SqliteStatement& stmt) {
  return step_row_from(stmt, 0);
}

Result<KeyedStepRow, Error> keyed_step_row(SqliteStatement& stmt) {
  std::string key = stmt.text(0);
  auto row = step_row_from(stmt, 1);
  if (!row.ok()) return row.error();
  return KeyedStepRow{std::move(key), std::move(row).value()};
}

// Steps a bound statement to the end, reading every row with `read`.
template <class Row, class Read>
Result<std::vector<Row>, Error> collect(SqliteStatement& stmt, Read read) {
  std::vector<Row> rows;
  while (true) {
    auto more = stmt.step();
    if (!more.ok()) return more.error();
    if (!*more) return rows;
    auto row = read(stmt);
    if (!row.ok()) return row.error();
    rows.push_back(std::move(row).value());
  }
}

// Reads at most the first row with `read`.
template <class Row, class Read>
Result<std::optional<Row>, Error> first_row(SqliteStatement& stmt, Read read) {
  auto more = stmt.step();
  if (!more.ok()) return more.error();
  if (!*more) return std::optional<Row>();
  auto row = read(stmt);
  if (!row.ok()) return row.error();
  return std::optional<Row>(std::move(row).value());
}

template <class Out, class Row, class Convert>
Result<std::vector<Out>, Error> convert_all(std::vector<Row> rows, Convert convert) {
  std::vector<Out> out;
  out.reserve(rows.size());
  for (Row& row : rows) {
    auto converted = convert(std::move(row));
    if (!converted.ok()) return converted.error();
    out.push_back(std::move(converted).value());
  }
  return out;
}

template <class Out, class Row, class Convert>
Result<std::optional<Out>, Error> convert_optional(std::optional<Row> row, Convert convert) {
  if (!row) return std::optional<Out>();
  auto converted = convert(std::move(*row));
  if (!converted.ok()) return converted.error();
  return std::optional<Out>(std::move(converted).value());
}

Result<bool, Error> table_exists(sqlite3* db, std::string_view name) {
  auto stmt = SqliteStatement::prepare(db, kTableExistsSql);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, name);
  return stmt->step();
}

// One attempt of the opening sequence. Dropping `conn` on any failure closes it.
Result<SqliteConnection, Error> open_and_init(const std::string& path) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, kOpenFlags, nullptr);
  SqliteConnection conn(raw);
  if (rc != SQLITE_OK) return sqlite_error(raw, rc);
  if (auto s = sqlite_exec(raw, kSqliteConnectionPragmas); !s.ok()) return s.error();
  if (auto s = sqlite_exec(raw, "BEGIN IMMEDIATE"); !s.ok()) return s.error();
  auto exists = table_exists(raw, "flows");
  Status<Error> created;
  if (!exists.ok()) {
    created = exists.error();
  } else if (!*exists) {
    created = sqlite_exec(raw, kSqliteSchemaScript);
  }
  if (!created.ok()) {
    (void)sqlite_exec(raw, "ROLLBACK");
    return created.error();
  }
  if (auto s = sqlite_exec(raw, "COMMIT"); !s.ok()) return s.error();
  return conn;
}

Result<SqliteConnection, Error> open_and_init_with_retry(const std::string& path) {
  for (int attempt = 1;; ++attempt) {
    auto conn = open_and_init(path);
    if (conn.ok() || !conn.error().is_busy_or_locked() || attempt >= kOpenAttempts) return conn;
    std::this_thread::sleep_for(kOpenBackoffStep * attempt);
  }
}

}  // namespace

Result<std::shared_ptr<SqliteJournal>, Error> SqliteJournal::open(
    const std::filesystem::path& path, std::shared_ptr<const Clock> clock) {
  auto conn = open_and_init_with_retry(path.string());
  if (!conn.ok()) return conn.error();
  std::shared_ptr<SqliteJournal> journal(
      new SqliteJournal(std::move(conn).value(), std::move(clock)));
  const std::int64_t now = journal->clock_->now_ms();
  {
    std::lock_guard lock(journal->mu_);
    auto stmt = SqliteStatement::prepare(journal->conn_.get(), kPurgeCacheSql);
    if (stmt.ok()) {
      stmt->bind_int64(1, now);
      (void)stmt->run();
    }
  }
  return journal;
}

Result<std::shared_ptr<SqliteJournal>, Error> SqliteJournal::open(
    const std::filesystem::path& path) {
  return open(path, std::make_shared<SystemClock>());
}

Result<FlowId, Error> SqliteJournal::begin_flow(const NewFlow& flow) {
  const std::int64_t now = clock_->now_ms();
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kBeginFlowSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(flow.flow_id));
  stmt->bind_text(2, std::string_view(flow.entrypoint));
  stmt->bind_text(3, std::string_view(flow.args_hash));
  stmt->bind_text(4, flow.code_hash);
  stmt->bind_int64(5, now);
  if (auto s = stmt->run(); !s.ok()) return s.error();
  return flow.flow_id;
}

Status<Error> SqliteJournal::record_step(const FlowId& flow_id, std::uint64_t seq,
                                         const StepKey& step_key, const StepOutcome& outcome) {
  auto seq64 = to_i64("seq", seq);
  if (!seq64.ok()) return seq64.error();
  std::optional<std::string> error_class;
  if (outcome.error_class) error_class = std::string(error_class_text(*outcome.error_class));
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kRecordStepSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(flow_id));
  stmt->bind_int64(2, *seq64);
  stmt->bind_text(3, std::string_view(step_key));
  stmt->bind_text(4, step_kind_text(outcome.kind));
  stmt->bind_int64(5, std::int64_t{outcome.attempt});
  stmt->bind_text(6, step_status_text(outcome.status));
  stmt->bind_blob(7, outcome.payload);
  stmt->bind_text(8, error_class);
  stmt->bind_int64(9, outcome.started_at);
  stmt->bind_int64(10, outcome.ended_at);
  return stmt->run();
}

Result<std::optional<StepOutcome>, Error> SqliteJournal::lookup_step(const FlowId& flow_id,
                                                                     std::uint64_t seq,
                                                                     const StepKey& step_key) {
  auto seq64 = to_i64("seq", seq);
  if (!seq64.ok()) return seq64.error();
  std::optional<StepRowData> row;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(conn_.get(), kLookupStepSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_text(1, std::string_view(flow_id));
    stmt->bind_int64(2, *seq64);
    stmt->bind_text(3, std::string_view(step_key));
    auto read = first_row<StepRowData>(*stmt, step_row);
    if (!read.ok()) return read.error();
    row = std::move(read).value();
  }
  return convert_optional<StepOutcome>(std::move(row), step_from_row);
}

Result<std::optional<KeyedStep>, Error> SqliteJournal::step_at(const FlowId& flow_id,
                                                               std::uint64_t seq) {
  auto seq64 = to_i64("seq", seq);
  if (!seq64.ok()) return seq64.error();
  std::optional<KeyedStepRow> row;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(conn_.get(), kStepAtSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_text(1, std::string_view(flow_id));
    stmt->bind_int64(2, *seq64);
    auto read = first_row<KeyedStepRow>(*stmt, keyed_step_row);
    if (!read.ok()) return read.error();
    row = std::move(read).value();
  }
  return convert_optional<KeyedStep>(std::move(row), keyed_step_from_row);
}

Result<std::optional<FlowDescriptor>, Error> SqliteJournal::get_flow(const FlowId& flow_id) {
  std::optional<FlowRowData> row;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(conn_.get(), kGetFlowSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_text(1, std::string_view(flow_id));
    auto read = first_row<FlowRowData>(*stmt, flow_row);
    if (!read.ok()) return read.error();
    row = std::move(read).value();
  }
  return convert_optional<FlowDescriptor>(std::move(row), flow_from_row);
}

Status<Error> SqliteJournal::complete_flow(const FlowId& flow_id, FlowStatus status) {
  const std::int64_t now = clock_->now_ms();
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kCompleteFlowSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(flow_id));
  stmt->bind_text(2, flow_status_text(status));
  stmt->bind_int64(3, now);
  return stmt->run();
}

Result<std::vector<FlowDescriptor>, Error> SqliteJournal::incomplete_flows(bool expired) {
  const std::int64_t now = clock_->now_ms();
  std::vector<FlowRowData> rows;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(
        conn_.get(), expired ? kIncompleteExpiredSql : kIncompleteLiveSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_int64(1, now);
    auto read = collect<FlowRowData>(*stmt, flow_row);
    if (!read.ok()) return read.error();
    rows = std::move(read).value();
  }
  return convert_all<FlowDescriptor>(std::move(rows), flow_from_row);
}

Result<bool, Error> SqliteJournal::acquire_lease(const FlowId& flow_id, const ProcessId& holder,
                                                 std::uint64_t ttl_ms) {
  const std::int64_t now = clock_->now_ms();
  const std::int64_t expires = add_ms_saturating(now, ttl_ms);
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kAcquireLeaseSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(flow_id));
  stmt->bind_text(2, std::string_view(holder));
  stmt->bind_int64(3, expires);
  stmt->bind_int64(4, now);
  if (auto s = stmt->run(); !s.ok()) return s.error();
  return sqlite3_changes(conn_.get()) == 1;
}

Status<Error> SqliteJournal::put_cache(const CacheKey& key, const Bytes& value,
                                       std::uint64_t ttl_ms) {
  const std::int64_t expires = add_ms_saturating(clock_->now_ms(), ttl_ms);
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kPutCacheSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(key));
  stmt->bind_blob(2, value);
  stmt->bind_int64(3, expires);
  return stmt->run();
}

Result<std::optional<Bytes>, Error> SqliteJournal::get_cache(const CacheKey& key) {
  const std::int64_t now = clock_->now_ms();
  std::lock_guard lock(mu_);
  auto stmt = SqliteStatement::prepare_cached(conn_.get(), kGetCacheSql, statements_);
  if (!stmt.ok()) return stmt.error();
  stmt->bind_text(1, std::string_view(key));
  stmt->bind_int64(2, now);
  return first_row<Bytes>(*stmt, [](SqliteStatement& s) -> Result<Bytes, Error> {
    Bytes value = s.blob(0);
    if (auto status = s.read_status(); !status.ok()) return status.error();
    return value;
  });
}

Result<std::vector<FlowDescriptor>, Error> SqliteJournal::flows_by_entrypoint(
    std::string_view entrypoint) {
  std::vector<FlowRowData> rows;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(conn_.get(), kFlowsByEntrypointSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_text(1, entrypoint);
    auto read = collect<FlowRowData>(*stmt, flow_row);
    if (!read.ok()) return read.error();
    rows = std::move(read).value();
  }
  return convert_all<FlowDescriptor>(std::move(rows), flow_from_row);
}

Result<std::vector<KeyedStep>, Error> SqliteJournal::steps_for_flow(const FlowId& flow_id) {
  std::vector<KeyedStepRow> rows;
  {
    std::lock_guard lock(mu_);
    auto stmt = SqliteStatement::prepare_cached(conn_.get(), kStepsForFlowSql, statements_);
    if (!stmt.ok()) return stmt.error();
    stmt->bind_text(1, std::string_view(flow_id));
    auto read = collect<KeyedStepRow>(*stmt, keyed_step_row);
    if (!read.ok()) return read.error();
    rows = std::move(read).value();
  }
  return convert_all<KeyedStep>(std::move(rows), keyed_step_from_row);
}

}  // namespace vorn::journal
