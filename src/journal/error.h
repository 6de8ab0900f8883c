#ifndef VORN_JOURNAL_ERROR_H_
#define VORN_JOURNAL_ERROR_H_

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vorn::journal {

// The failure of a journal operation. Callers embed text() in their own messages, so
// the display texts are part of the interface:
//
//   kSqlite, kPostgres  "journal storage error: {message}"
//   kWorkerGone         "journal connection worker thread is no longer running"
//   kWorkerSpawn        "could not spawn a journal connection worker thread: {message}"
//   kCorrupt            "journal column `{column}` holds a value outside the schema
//                        contract: {value quoted}"
//
// The worker variants are raised only by the PostgreSQL backend. A default-constructed
// Error is an SQLite storage error with code 0 and no message; it exists only so that
// Status<Error> can hold a placeholder.
class Error {
 public:
  enum class Kind : std::uint8_t { kSqlite, kPostgres, kWorkerGone, kWorkerSpawn, kCorrupt };

  Error() = default;

  // `code` is an SQLite result code (primary or extended); `message` SQLite's text for it.
  static Error sqlite(int code, std::string message);
  static Error postgres(std::string message);
  static Error worker_gone();
  static Error worker_spawn(std::string os_error);
  // `column` names the column; `value` is shown quoted.
  static Error corrupt(std::string_view column, std::string_view value);
  // An integer value is shown in decimal.
  template <std::integral T>
  static Error corrupt(std::string_view column, T value) {
    return corrupt(column, std::string_view(std::to_string(value)));
  }

  Kind kind() const { return kind_; }
  bool is_storage() const { return kind_ == Kind::kSqlite || kind_ == Kind::kPostgres; }
  // The SQLite primary result code (code & 0xff); 0 for every other kind.
  int sqlite_primary_code() const { return kind_ == Kind::kSqlite ? code_ & 0xff : 0; }
  // True for SQLITE_BUSY and SQLITE_LOCKED: another connection holds the database.
  bool is_busy_or_locked() const;
  // The client's message (storage), the OS error (spawn) or the offending value (corrupt).
  const std::string& message() const { return message_; }
  // The column of a corrupt error; empty otherwise.
  const std::string& column() const { return column_; }

  std::string text() const;

 private:
  Error(Kind kind, int code, std::string column, std::string message)
      : kind_(kind), code_(code), column_(std::move(column)), message_(std::move(message)) {}

  Kind kind_ = Kind::kSqlite;
  int code_ = 0;
  std::string column_;
  std::string message_;
};

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_ERROR_H_
