#ifndef VORN_JOURNAL_SQLITE_JOURNAL_H_
#define VORN_JOURNAL_SQLITE_JOURNAL_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "api/result.h"
#include "journal/clock.h"
#include "journal/error.h"
#include "journal/journal.h"
#include "journal/records.h"
#include "journal/sqlite_statement.h"
#include "journal/types.h"

namespace vorn::journal {

// The journal in one SQLite database file, in WAL mode. One connection, opened without
// SQLite's own mutex and serialised by this object's lock; each statement is prepared
// once and reused. Every timestamp comes from the injected clock, read before the lock is taken.
// Between processes SQLite's file locking applies, absorbed by a 5000 ms busy timeout;
// the lease update is one conditional statement, so two processes cannot both win it.
class SqliteJournal final : public Journal {
 public:
  // Opens (creating if needed) the database at `path` (SQLite URI file names accepted),
  // applies the connection pragmas and, inside an immediate transaction, creates the
  // schema when the file has no `flows` table; an existing file is recognised by that
  // table alone and never migrated. Attempts failing with SQLITE_BUSY or SQLITE_LOCKED
  // are retried up to 8 attempts in all, sleeping 5 ms times the attempt number in
  // between; any other failure, or the last one, is returned as the storage error. A
  // failed open leaves no connection behind. On success, cache entries with
  // expires_at <= now are purged (a purge failure is ignored). The parent directory
  // must exist.
  static Result<std::shared_ptr<SqliteJournal>, Error> open(const std::filesystem::path& path,
                                                            std::shared_ptr<const Clock> clock);
  // The same with SystemClock.
  static Result<std::shared_ptr<SqliteJournal>, Error> open(const std::filesystem::path& path);

  SqliteJournal(const SqliteJournal&) = delete;
  SqliteJournal& operator=(const SqliteJournal&) = delete;

  Result<FlowId, Error> begin_flow(const NewFlow& flow) override;
  Status<Error> record_step(const FlowId& flow_id, std::uint64_t seq, const StepKey& step_key,
                            const StepOutcome& outcome) override;
  Result<std::optional<StepOutcome>, Error> lookup_step(const FlowId& flow_id, std::uint64_t seq,
                                                        const StepKey& step_key) override;
  Result<std::optional<KeyedStep>, Error> step_at(const FlowId& flow_id,
                                                  std::uint64_t seq) override;
  Result<std::optional<FlowDescriptor>, Error> get_flow(const FlowId& flow_id) override;
  Status<Error> complete_flow(const FlowId& flow_id, FlowStatus status) override;
  Result<std::vector<FlowDescriptor>, Error> incomplete_flows(bool expired) override;
  Result<bool, Error> acquire_lease(const FlowId& flow_id, const ProcessId& holder,
                                    std::uint64_t ttl_ms) override;
  Status<Error> put_cache(const CacheKey& key, const Bytes& value, std::uint64_t ttl_ms) override;
  Result<std::optional<Bytes>, Error> get_cache(const CacheKey& key) override;
  Result<std::vector<FlowDescriptor>, Error> flows_by_entrypoint(
      std::string_view entrypoint) override;
  Result<std::vector<KeyedStep>, Error> steps_for_flow(const FlowId& flow_id) override;

 private:
  SqliteJournal(SqliteConnection conn, std::shared_ptr<const Clock> clock)
      : conn_(std::move(conn)), clock_(std::move(clock)) {}

  // Serialises every use of conn_; always the innermost lock of the process. Operations
  // report failures as values and nothing in them throws, so the lock can never be left
  // held by an interrupted operation (there is no "poisoned" state to check).
  std::mutex mu_;
  SqliteConnection conn_;                     // guarded by mu_
  StatementCache statements_;                 // guarded by mu_; destroyed before conn_ closes
  const std::shared_ptr<const Clock> clock_;  // immutable; the clock is thread-safe itself
};

}  // namespace vorn::journal

#endif  // VORN_JOURNAL_SQLITE_JOURNAL_H_
