#ifndef VORN_JOURNAL_SQLITE_STATEMENT_H_
#define VORN_JOURNAL_SQLITE_STATEMENT_H_

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "api/result.h"
#include "journal/error.h"
#include "journal/types.h"

namespace vorn::journal {

// Owning handle of an SQLite connection; closing it is the last thing that happens to it.
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteCloser>;

// The storage error for a failed SQLite call that returned `rc` on `db` (which may be
// null when opening failed before a handle existed).
Error sqlite_error(sqlite3* db, int rc);

// Executes a batch of statements separated by semicolons; result rows are discarded.
Status<Error> sqlite_exec(sqlite3* db, const char* sql);

// Prepared statements kept for reuse on one connection, keyed by the address of their SQL
// text (the journal's statements are constants). Preparing is the dearest part of a short
// statement, so each is prepared once per connection. Guarded by the connection's lock;
// must be destroyed before the connection is closed.
class StatementCache {
 public:
  StatementCache() = default;
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;
  ~StatementCache();

  // The cached statement for `sql`, removed from the cache while in use, or null.
  sqlite3_stmt* take(std::string_view sql);
  // Returns a reset statement for reuse.
  void give_back(std::string_view sql, sqlite3_stmt* stmt);

 private:
  std::unordered_map<const char*, sqlite3_stmt*> stmts_;
};

// One prepared statement, finalized on destruction (or, when it came from a
// StatementCache, reset and handed back to it). Not thread-safe: it belongs to the
// caller holding the connection.
//
// Binding never fails on the spot: the first bind failure is kept and returned by the
// next step()/run(). Bound text and blobs are not copied and must outlive the statement's
// execution. Column reads likewise keep their first failure (a column whose storage type
// does not match, reported as the SQLite storage error SQLITE_MISMATCH) for read_status()
// and return an empty value meanwhile.
class SqliteStatement {
 public:
  static Result<SqliteStatement, Error> prepare(sqlite3* db, std::string_view sql);
  // Like prepare, reusing the statement `cache` holds for `sql` when there is one.
  static Result<SqliteStatement, Error> prepare_cached(sqlite3* db, std::string_view sql,
                                                       StatementCache& cache);

  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  ~SqliteStatement();

  // Parameters are numbered from 1.
  void bind_text(int index, std::string_view value);
  void bind_text(int index, const std::optional<std::string>& value);
  void bind_int64(int index, std::int64_t value);
  void bind_int64(int index, const std::optional<std::int64_t>& value);
  void bind_blob(int index, const Bytes& value);
  void bind_blob(int index, const std::optional<Bytes>& value);
  void bind_null(int index);

  // Advances to the next row: true when a row is ready, false when the statement is done.
  Result<bool, Error> step();
  // Steps until done, discarding rows.
  Status<Error> run();

  // Columns are numbered from 0; a mismatch error names the column.
  std::string text(int column);
  std::optional<std::string> optional_text(int column);
  std::int64_t int64(int column);
  std::optional<std::int64_t> optional_int64(int column);
  Bytes blob(int column);
  std::optional<Bytes> optional_blob(int column);
  // The first column read failure since the statement was prepared.
  Status<Error> read_status() const;

 private:
  SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  void release();
  void note_bind(int rc);
  bool expect_type(int column, int type);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  StatementCache* cache_ = nullptr;  // where to hand the statement back, if anywhere
  std::string_view sql_;             // its key in cache_
  std::optional<Error> bind_error_;
  std::optional<Error> read_error_;
};

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_SQLITE_STATEMENT_H_
