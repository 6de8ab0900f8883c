#include "journal/sqlite_statement.h"

#include <utility>

namespace vorn::journal {
namespace {

const char* storage_type_name(int type) {
  switch (type) {
    case SQLITE_INTEGER:
      return "integer";
    case SQLITE_FLOAT:
      return "real";
    case SQLITE_TEXT:
      return "text";
    case SQLITE_BLOB:
      return "blob";
    default:
      return "null";
  }
}

// sqlite3_bind_text/blob bind NULL for a null pointer even with length 0.
constexpr char kEmpty[] = "";

}  // namespace

Error sqlite_error(sqlite3* db, int rc) {
  return Error::sqlite(rc, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
}

Status<Error> sqlite_exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return {};
  std::string text = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return Error::sqlite(rc, std::move(text));
}

StatementCache::~StatementCache() {
  for (auto& [sql, stmt] : stmts_) sqlite3_finalize(stmt);
}

sqlite3_stmt* StatementCache::take(std::string_view sql) {
  auto it = stmts_.find(sql.data());
  if (it == stmts_.end()) return nullptr;
  sqlite3_stmt* stmt = it->second;
  stmts_.erase(it);
  return stmt;
}

void StatementCache::give_back(std::string_view sql, sqlite3_stmt* stmt) {
  auto [it, inserted] = stmts_.emplace(sql.data(), stmt);
  if (!inserted) sqlite3_finalize(stmt);
}

Result<SqliteStatement, Error> SqliteStatement::prepare_cached(sqlite3* db, std::string_view sql,
                                                               StatementCache& cache) {
  sqlite3_stmt* stmt = cache.take(sql);
  if (!stmt) {
    auto fresh = prepare(db, sql);
    if (!fresh.ok()) return std::move(fresh).error();
    stmt = std::exchange(fresh.value().stmt_, nullptr);
  }
  SqliteStatement out(db, stmt);
  out.cache_ = &cache;
  out.sql_ = sql;
  return out;
}

void SqliteStatement::release() {
  if (!stmt_) return;
  if (cache_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    cache_->give_back(sql_, std::exchange(stmt_, nullptr));
  } else {
    sqlite3_finalize(std::exchange(stmt_, nullptr));
  }
}

Result<SqliteStatement, Error> SqliteStatement::prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return sqlite_error(db, rc);
  }
  return SqliteStatement(db, stmt);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_),
      stmt_(std::exchange(other.stmt_, nullptr)),
      cache_(other.cache_),
      sql_(other.sql_),
      bind_error_(std::move(other.bind_error_)),
      read_error_(std::move(other.read_error_)) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    release();
    db_ = other.db_;
    stmt_ = std::exchange(other.stmt_, nullptr);
    cache_ = other.cache_;
    sql_ = other.sql_;
    bind_error_ = std::move(other.bind_error_);
    read_error_ = std::move(other.read_error_);
  }
  return *this;
}

SqliteStatement::~SqliteStatement() {
  release();
}

void SqliteStatement::note_bind(int rc) {
  if (rc != SQLITE_OK && !bind_error_) bind_error_ = sqlite_error(db_, rc);
}

void SqliteStatement::bind_text(int index, std::string_view value) {
  const char* data = value.data() != nullptr ? value.data() : kEmpty;
  note_bind(sqlite3_bind_text64(stmt_, index, data, value.size(), SQLITE_STATIC, SQLITE_UTF8));
}

void SqliteStatement::bind_text(int index, const std::optional<std::string>& value) {
  if (value) {
    bind_text(index, std::string_view(*value));
  } else {
    bind_null(index);
  }
}

void SqliteStatement::bind_int64(int index, std::int64_t value) {
  note_bind(sqlite3_bind_int64(stmt_, index, value));
}

void SqliteStatement::bind_int64(int index, const std::optional<std::int64_t>& value) {
  if (value) {
    bind_int64(index, *value);
  } else {
    bind_null(index);
  }
}

void SqliteStatement::bind_blob(int index, const Bytes& value) {
  const void* data = value.empty() ? static_cast<const void*>(kEmpty) : value.data();
  note_bind(sqlite3_bind_blob64(stmt_, index, data, value.size(), SQLITE_STATIC));
}

void SqliteStatement::bind_blob(int index, const std::optional<Bytes>& value) {
  if (value) {
    bind_blob(index, *value);
  } else {
    bind_null(index);
  }
}

void SqliteStatement::bind_null(int index) {
  note_bind(sqlite3_bind_null(stmt_, index));
}

Result<bool, Error> SqliteStatement::step() {
  if (bind_error_) return *bind_error_;
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return sqlite_error(db_, rc);
}

Status<Error> SqliteStatement::run() {
  while (true) {
    auto row = step();
    if (!row.ok()) return row.error();
    if (!*row) return {};
  }
}

bool SqliteStatement::expect_type(int column, int type) {
  int actual = sqlite3_column_type(stmt_, column);
  if (actual == type) return true;
  if (!read_error_) {
    const char* name = sqlite3_column_name(stmt_, column);
    read_error_ = Error::sqlite(
        SQLITE_MISMATCH, "column " + std::to_string(column) + " (" +
                             (name != nullptr ? name : "?") + ") has storage type " +
                             storage_type_name(actual) + ", expected " + storage_type_name(type));
  }
  return false;
}

std::string SqliteStatement::text(int column) {
  if (!expect_type(column, SQLITE_TEXT)) return {};
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  int size = sqlite3_column_bytes(stmt_, column);
  return data != nullptr ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::optional<std::string> SqliteStatement::optional_text(int column) {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  return text(column);
}

std::int64_t SqliteStatement::int64(int column) {
  if (!expect_type(column, SQLITE_INTEGER)) return 0;
  return sqlite3_column_int64(stmt_, column);
}

std::optional<std::int64_t> SqliteStatement::optional_int64(int column) {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  return int64(column);
}

Bytes SqliteStatement::blob(int column) {
  if (!expect_type(column, SQLITE_BLOB)) return {};
  const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr) return {};
  return Bytes(data, data + size);
}

std::optional<Bytes> SqliteStatement::optional_blob(int column) {
  if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
  return blob(column);
}

Status<Error> SqliteStatement::read_status() const {
  if (read_error_) return *read_error_;
  return {};
}

}  // namespace vorn::journal
