#include "journal/error.h"

#include <sqlite3.h>

#include <utility>

#include "api/text.h"

namespace vorn::journal {

Error Error::sqlite(int code, std::string message) {
  return Error(Kind::kSqlite, code, {}, std::move(message));
}

Error Error::postgres(std::string message) {
  return Error(Kind::kPostgres, 0, {}, std::move(message));
}

Error Error::worker_gone() {
  return Error(Kind::kWorkerGone, 0, {}, {});
}

Error Error::worker_spawn(std::string os_error) {
  return Error(Kind::kWorkerSpawn, 0, {}, std::move(os_error));
}

Error Error::corrupt(std::string_view column, std::string_view value) {
  return Error(Kind::kCorrupt, 0, std::string(column), std::string(value));
}

bool Error::is_busy_or_locked() const {
  int primary = sqlite_primary_code();
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

std::string Error::text() const {
  switch (kind_) {
    case Kind::kSqlite:
    case Kind::kPostgres:
      return "journal storage error: " + message_;
    case Kind::kWorkerGone:
      return "journal connection worker thread is no longer running";
    case Kind::kWorkerSpawn:
      return "could not spawn a journal connection worker thread: " + message_;
    case Kind::kCorrupt:
      return "journal column `" + column_ +
             "` holds a value outside the schema contract: " + quote(message_);
  }
  return {};
}

}  // namespace vorn::journal
