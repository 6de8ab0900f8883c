#include "journal/sqlite_journal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "journal/clock.h"
#include "journal/journal.h"
#include "journal_test_util.h"

namespace vorn::journal {
namespace {

using ::vorn::journal::testing::RawDb;
using ::vorn::journal::testing::TempDir;
using Strings = std::vector<std::string>;

std::string corrupt_text(const std::string& column, const std::string& quoted) {
  return "journal column `" + column + "` holds a value outside the schema contract: " + quoted;
}

class SqliteJournalTest : public ::testing::Test {
 protected:
  std::filesystem::path db_path() const { return dir_.path() / "journal.db"; }

  std::shared_ptr<SqliteJournal> open() {
    auto journal = SqliteJournal::open(db_path(), clock_);
    EXPECT_TRUE(journal.ok()) << journal.error().text();
    return journal.ok() ? *journal : nullptr;
  }

  void begin(Journal& j, const std::string& flow_id, const std::string& entrypoint = "py:m:main") {
    auto id = j.begin_flow(NewFlow{flow_id, entrypoint, "h", std::nullopt});
    ASSERT_TRUE(id.ok()) << id.error().text();
  }

  FlowDescriptor flow(Journal& j, const std::string& flow_id) {
    auto f = j.get_flow(flow_id);
    EXPECT_TRUE(f.ok() && f->has_value());
    return f.ok() && f->has_value() ? **f : FlowDescriptor{};
  }

  TempDir dir_;
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(1000);
};

TEST_F(SqliteJournalTest, FreshFileHasTheWholeSchemaOnce) {
  auto j = open();
  ASSERT_TRUE(j);
  RawDb raw(db_path());
  const char* kObjects =
      "SELECT name FROM sqlite_master WHERE type = '%s' AND name NOT LIKE 'sqlite_%%' "
      "ORDER BY name";
  char sql[256];
  std::snprintf(sql, sizeof sql, kObjects, "table");
  EXPECT_EQ(raw.rows(sql), (Strings{"cache", "flows", "outbox", "steps", "vorn_meta"}));
  std::snprintf(sql, sizeof sql, kObjects, "index");
  EXPECT_EQ(raw.rows(sql), (Strings{"cache_expiry", "flows_incomplete", "steps_by_key"}));
  EXPECT_EQ(raw.rows("SELECT key, value, typeof(value) FROM vorn_meta"),
            (Strings{"schema_version|1|text"}));
  EXPECT_EQ(raw.rows("PRAGMA journal_mode"), (Strings{"wal"}));
}

TEST_F(SqliteJournalTest, ReopenKeepsRowsAndPurgesOnlyExpiredCache) {
  {
    auto j = open();
    ASSERT_TRUE(j);
    begin(*j, "f1");
    ASSERT_TRUE(j->put_cache("gone-early", {1}, 100).ok());  // expires 1100
    ASSERT_TRUE(j->put_cache("gone-now", {2}, 500).ok());    // expires 1500
    ASSERT_TRUE(j->put_cache("kept", {3}, 501).ok());        // expires 1501
  }
  clock_->set(1500);
  auto j = open();
  ASSERT_TRUE(j);
  RawDb raw(db_path());
  EXPECT_EQ(raw.rows("SELECT key FROM cache ORDER BY key"), (Strings{"kept"}));
  EXPECT_EQ(raw.rows("SELECT flow_id FROM flows"), (Strings{"f1"}));
  EXPECT_EQ(raw.rows("SELECT count(*) FROM vorn_meta"), (Strings{"1"}));
}

TEST_F(SqliteJournalTest, OpeningInAMissingDirectoryIsAStorageError) {
  auto j = SqliteJournal::open(dir_.path() / "missing" / "journal.db", clock_);
  ASSERT_FALSE(j.ok());
  EXPECT_EQ(j.error().kind(), Error::Kind::kSqlite);
  EXPECT_EQ(j.error().text(), "journal storage error: unable to open database file");
}

TEST_F(SqliteJournalTest, BeginFlowTwiceKeepsTheFirstRow) {
  auto j = open();
  ASSERT_TRUE(j);
  auto first = j->begin_flow(NewFlow{"f", "py:a:main", "h1", std::string("code1")});
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, "f");
  ASSERT_TRUE(j->complete_flow("f", FlowStatus::kFailed).ok());  // updated_at 1000
  clock_->set(2000);
  auto second = j->begin_flow(NewFlow{"f", "py:b:main", "h2", std::nullopt});
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, "f");
  EXPECT_EQ(flow(*j, "f"),
            (FlowDescriptor{"f", "py:a:main", "h1", std::string("code1"), FlowStatus::kFailed,
                            std::nullopt, std::nullopt, 1000, 1000}));
  auto missing = j->get_flow("nope");
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->has_value());
}

TEST_F(SqliteJournalTest, TerminalRecordKeepsTheRunningRecordsStart) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  StepOutcome running{StepKind::kEffect, 0,   StepStatus::kRunning, Bytes{9},
                      std::nullopt,      100, std::nullopt};
  ASSERT_TRUE(j->record_step("f", 1, "http:x#a", running).ok());
  StepOutcome done{
      StepKind::kEffect, 3, StepStatus::kError, Bytes{7, 8}, ErrorClass::kTimeout, 200, 250};
  ASSERT_TRUE(j->record_step("f", 1, "http:x#a", done).ok());
  auto steps = j->steps_for_flow("f");
  ASSERT_TRUE(steps.ok());
  StepOutcome expected = done;
  expected.started_at = 100;
  EXPECT_EQ(*steps, (std::vector<KeyedStep>{{"http:x#a", expected}}));
}

TEST_F(SqliteJournalTest, PayloadsRoundTripVerbatimIncludingEmpty) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  const std::optional<Bytes> payloads[] = {std::nullopt, Bytes{}, Bytes{0, 255, 0}};
  for (std::uint64_t seq = 0; seq < 3; ++seq) {
    StepOutcome s{StepKind::kRandom, 0, StepStatus::kOk, payloads[seq], std::nullopt, 5, 6};
    ASSERT_TRUE(j->record_step("f", seq, "py:random#-", s).ok());
    auto back = j->lookup_step("f", seq, "py:random#-");
    ASSERT_TRUE(back.ok() && back->has_value());
    EXPECT_EQ((*back)->payload, payloads[seq]) << seq;
  }
  ASSERT_TRUE(j->put_cache("k", Bytes{}, 10).ok());
  auto cached = j->get_cache("k");
  ASSERT_TRUE(cached.ok());
  EXPECT_EQ(*cached, std::optional<Bytes>(Bytes{}));
}

TEST_F(SqliteJournalTest, LookupMatchesKeyWhileStepAtDoesNot) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  StepOutcome s{StepKind::kTime, 0, StepStatus::kOk, Bytes{1}, std::nullopt, 5, 6};
  ASSERT_TRUE(j->record_step("f", 2, "py:time.time#-", s).ok());
  ASSERT_TRUE(j->record_step("f", 1, "flow:attempt", s).ok());

  auto hit = j->lookup_step("f", 2, "py:time.time#-");
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(*hit, std::optional<StepOutcome>(s));
  for (auto [seq, key] :
       {std::pair<std::uint64_t, const char*>{2, "other"}, {3, "py:time.time#-"}}) {
    auto miss = j->lookup_step("f", seq, key);
    ASSERT_TRUE(miss.ok());
    EXPECT_FALSE(miss->has_value()) << seq << key;
  }
  auto at = j->step_at("f", 2);
  ASSERT_TRUE(at.ok());
  EXPECT_EQ(*at, std::optional<KeyedStep>(KeyedStep{"py:time.time#-", s}));
  auto none = j->step_at("f", 3);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());

  auto all = j->steps_for_flow("f");
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0].step_key, "flow:attempt");  // by seq, not by insertion
  EXPECT_EQ((*all)[1].step_key, "py:time.time#-");
}

TEST_F(SqliteJournalTest, CompleteFlowTransitions) {
  struct Case {
    FlowStatus first, second, expected;
  };
  const Case cases[] = {
      {FlowStatus::kCompleted, FlowStatus::kFailed, FlowStatus::kCompleted},
      {FlowStatus::kFailed, FlowStatus::kRunning, FlowStatus::kRunning},
      {FlowStatus::kDead, FlowStatus::kCompleted, FlowStatus::kCompleted},
  };
  auto j = open();
  ASSERT_TRUE(j);
  int n = 0;
  for (const auto& c : cases) {
    std::string id = "f" + std::to_string(n++);
    clock_->set(1000);
    begin(*j, id);
    ASSERT_TRUE(j->complete_flow(id, c.first).ok());
    clock_->set(2000);
    ASSERT_TRUE(j->acquire_lease(id, "pid-1", 100).ok());  // only sticks while running
    clock_->set(3000);
    ASSERT_TRUE(j->complete_flow(id, c.second).ok());
    FlowDescriptor f = flow(*j, id);
    EXPECT_EQ(f.status, c.expected) << id;
    EXPECT_FALSE(f.lease_holder.has_value()) << id;
    EXPECT_FALSE(f.lease_expires.has_value()) << id;
    EXPECT_EQ(f.updated_at, c.first == FlowStatus::kCompleted ? 1000 : 3000) << id;
  }
  EXPECT_TRUE(j->complete_flow("missing", FlowStatus::kFailed).ok());
}

TEST_F(SqliteJournalTest, IncompleteFlowsSplitAtNow) {
  auto j = open();
  ASSERT_TRUE(j);
  clock_->set(0);
  // Created out of id order to show the ordering.
  for (const char* id : {"e-later", "d-live", "c-now", "b-expired", "a-free", "z-done"}) {
    begin(*j, id);
  }
  ASSERT_TRUE(j->acquire_lease("b-expired", "p", 999).ok());  // expires 999 = now - 1
  ASSERT_TRUE(j->acquire_lease("c-now", "p", 1000).ok());     // expires 1000 = now
  ASSERT_TRUE(j->acquire_lease("d-live", "p", 1001).ok());
  ASSERT_TRUE(j->acquire_lease("e-later", "p", 5000).ok());
  ASSERT_TRUE(j->complete_flow("z-done", FlowStatus::kFailed).ok());
  clock_->set(1000);

  auto ids = [](const std::vector<FlowDescriptor>& flows) {
    Strings out;
    for (const auto& f : flows) out.push_back(f.flow_id);
    return out;
  };
  auto expired = j->incomplete_flows(true);
  ASSERT_TRUE(expired.ok());
  EXPECT_EQ(ids(*expired), (Strings{"a-free", "b-expired"}));
  auto live = j->incomplete_flows(false);
  ASSERT_TRUE(live.ok());
  EXPECT_EQ(ids(*live), (Strings{"c-now", "d-live", "e-later"}));
}

TEST_F(SqliteJournalTest, AcquireLeaseRules) {
  struct Case {
    const char* name;
    FlowStatus status;  // of the flow when the second holder tries
    std::int64_t at;    // the first holder's lease expires at 1100
    const char* holder;
    bool acquired;
  };
  const Case cases[] = {
      {"other holder, live lease", FlowStatus::kRunning, 1050, "pid-2", false},
      {"other holder, expires now", FlowStatus::kRunning, 1100, "pid-2", false},
      {"other holder, expired", FlowStatus::kRunning, 1101, "pid-2", true},
      {"same holder renews", FlowStatus::kRunning, 1050, "pid-1", true},
      {"completed flow", FlowStatus::kCompleted, 1200, "pid-2", false},
      {"dead flow", FlowStatus::kDead, 1200, "pid-2", false},
  };
  auto j = open();
  ASSERT_TRUE(j);
  int n = 0;
  for (const auto& c : cases) {
    std::string id = "f" + std::to_string(n++);
    clock_->set(1000);
    begin(*j, id);
    auto first = j->acquire_lease(id, "pid-1", 100);
    ASSERT_TRUE(first.ok() && *first) << c.name;
    if (c.status != FlowStatus::kRunning) {
      ASSERT_TRUE(j->complete_flow(id, c.status).ok());
    }
    FlowDescriptor before = flow(*j, id);
    clock_->set(c.at);
    auto got = j->acquire_lease(id, c.holder, 250);
    ASSERT_TRUE(got.ok()) << c.name;
    EXPECT_EQ(*got, c.acquired) << c.name;
    FlowDescriptor after = flow(*j, id);
    if (c.acquired) {
      EXPECT_EQ(after.lease_holder, std::optional<std::string>(c.holder)) << c.name;
      EXPECT_EQ(after.lease_expires, std::optional<std::int64_t>(c.at + 250)) << c.name;
      EXPECT_EQ(after.updated_at, c.at) << c.name;
    } else {
      EXPECT_EQ(after, before) << c.name;
    }
  }
  auto missing = j->acquire_lease("missing", "pid-1", 100);
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(*missing);
}

TEST_F(SqliteJournalTest, DurationsSaturate) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  clock_->set(std::numeric_limits<std::int64_t>::max() - 10);
  auto got = j->acquire_lease("f", "pid-1", std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(got.ok() && *got);
  EXPECT_EQ(flow(*j, "f").lease_expires, std::numeric_limits<std::int64_t>::max());
}

TEST_F(SqliteJournalTest, CacheExpiresAtExactlyExpiresAt) {
  auto j = open();
  ASSERT_TRUE(j);
  ASSERT_TRUE(j->put_cache("k", {1}, 500).ok());
  clock_->set(1499);
  auto live = j->get_cache("k");
  ASSERT_TRUE(live.ok());
  EXPECT_EQ(*live, std::optional<Bytes>(Bytes{1}));
  clock_->set(1500);
  auto expired = j->get_cache("k");
  ASSERT_TRUE(expired.ok());
  EXPECT_FALSE(expired->has_value());
  RawDb raw(db_path());
  EXPECT_EQ(raw.rows("SELECT count(*) FROM cache"), (Strings{"1"}));  // not deleted by reads

  ASSERT_TRUE(j->put_cache("k", {2}, 10).ok());  // replaces value and expiry
  auto replaced = j->get_cache("k");
  ASSERT_TRUE(replaced.ok());
  EXPECT_EQ(*replaced, std::optional<Bytes>(Bytes{2}));
  auto missing = j->get_cache("other");
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing->has_value());
}

TEST_F(SqliteJournalTest, FlowsByEntrypointInCreationOrder) {
  auto j = open();
  ASSERT_TRUE(j);
  clock_->set(30);
  begin(*j, "a", "py:m:main");
  clock_->set(10);
  begin(*j, "b", "py:m:main");
  clock_->set(20);
  begin(*j, "c", "py:other:main");
  begin(*j, "d", "py:m:main");
  ASSERT_TRUE(j->complete_flow("a", FlowStatus::kCompleted).ok());
  auto flows = j->flows_by_entrypoint("py:m:main");
  ASSERT_TRUE(flows.ok());
  Strings ids;
  for (const auto& f : *flows) ids.push_back(f.flow_id);
  EXPECT_EQ(ids, (Strings{"b", "d", "a"}));
}

TEST_F(SqliteJournalTest, SeqBeyondSignedRangeFailsAndTouchesNothing) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  const std::uint64_t seq = std::uint64_t{1} << 63;
  const std::string expected = corrupt_text("seq", "\"9223372036854775808\"");
  StepOutcome s{StepKind::kEffect, 0, StepStatus::kRunning, std::nullopt,
                std::nullopt,      1, std::nullopt};
  auto recorded = j->record_step("f", seq, "k", s);
  ASSERT_FALSE(recorded.ok());
  EXPECT_EQ(recorded.error().text(), expected);
  auto looked = j->lookup_step("f", seq, "k");
  ASSERT_FALSE(looked.ok());
  EXPECT_EQ(looked.error().text(), expected);
  auto at = j->step_at("f", seq);
  ASSERT_FALSE(at.ok());
  EXPECT_EQ(at.error().text(), expected);
  RawDb raw(db_path());
  EXPECT_EQ(raw.rows("SELECT count(*) FROM steps"), (Strings{"0"}));
}

TEST_F(SqliteJournalTest, StepForMissingFlowIsRejected) {
  auto j = open();
  ASSERT_TRUE(j);
  StepOutcome s{StepKind::kEffect, 0, StepStatus::kRunning, std::nullopt,
                std::nullopt,      1, std::nullopt};
  auto recorded = j->record_step("no-such-flow", 0, "k", s);
  ASSERT_FALSE(recorded.ok());
  EXPECT_EQ(recorded.error().kind(), Error::Kind::kSqlite);
  EXPECT_EQ(recorded.error().text(), "journal storage error: FOREIGN KEY constraint failed");

  // The statement is reused after its failure: its bindings and state start afresh.
  begin(*j, "f");
  s.payload = Bytes{1, 2};
  ASSERT_TRUE(j->record_step("f", 1, "k", s).ok());
  s.payload.reset();
  ASSERT_TRUE(j->record_step("f", 2, "k2", s).ok());
  auto steps = j->steps_for_flow("f");
  ASSERT_TRUE(steps.ok());
  ASSERT_EQ(steps->size(), 2u);
  EXPECT_EQ((*steps)[0].outcome.payload, (Bytes{1, 2}));
  EXPECT_EQ((*steps)[1].outcome.payload, std::nullopt);
}

// Rows only other tools could write: the check constraints are bypassed on a separate
// connection.
TEST_F(SqliteJournalTest, OutOfContractRowsFailTheWholeRead) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "good");
  RawDb raw(db_path());
  raw.exec("PRAGMA ignore_check_constraints = ON");
  raw.exec(
      "INSERT INTO flows VALUES ('bad', 'py:m:main', 'h', NULL, 'paused', NULL, NULL, 5, 5);"
      "INSERT INTO steps VALUES ('good', 0, 'k0', 'effect', 1, 'ok', NULL, NULL, 1, 2);"
      "INSERT INTO steps VALUES ('good', 1, 'k1', 'bogus', 1, 'ok', NULL, NULL, 1, 2);"
      "INSERT INTO steps VALUES ('good', 2, 'k2', 'effect', -1, 'ok', NULL, NULL, 1, 2);"
      "INSERT INTO steps VALUES ('good', 3, 'k3', 'effect', 1, 'ok', NULL, 'http ', 1, 2);"
      "INSERT INTO steps VALUES ('good', 4, 'k4', 'effect', 'many', 'ok', NULL, NULL, 1, 2);");

  auto bad_flow = j->get_flow("bad");
  ASSERT_FALSE(bad_flow.ok());
  EXPECT_EQ(bad_flow.error().text(), corrupt_text("flows.status", "\"paused\""));
  auto by_entry = j->flows_by_entrypoint("py:m:main");  // one good, one bad row
  ASSERT_FALSE(by_entry.ok());
  EXPECT_EQ(by_entry.error().text(), corrupt_text("flows.status", "\"paused\""));

  struct Case {
    std::uint64_t seq;
    std::string expected;
  };
  const Case cases[] = {
      {1, corrupt_text("steps.kind", "\"bogus\"")},
      {2, corrupt_text("steps.attempt", "\"-1\"")},
      {3, corrupt_text("steps.error_class", "\"http \"")},
      {4, "journal storage error: column 2 (attempt) has storage type text, expected integer"},
  };
  for (const auto& c : cases) {
    auto at = j->step_at("good", c.seq);
    ASSERT_FALSE(at.ok()) << c.seq;
    EXPECT_EQ(at.error().text(), c.expected);
    auto looked = j->lookup_step("good", c.seq, "k" + std::to_string(c.seq));
    ASSERT_FALSE(looked.ok()) << c.seq;
  }
  auto all = j->steps_for_flow("good");
  ASSERT_FALSE(all.ok());
  // Rows are all read before any is converted, so the unreadable row 4 is reported
  // ahead of the out-of-contract row 1.
  EXPECT_EQ(all.error().text(), cases[3].expected);
  auto fine = j->step_at("good", 0);
  ASSERT_TRUE(fine.ok());
  EXPECT_TRUE(fine->has_value());
}

TEST_F(SqliteJournalTest, ConcurrentThreadsShareOneJournal) {
  auto j = open();
  ASSERT_TRUE(j);
  begin(*j, "f");
  constexpr int kThreads = 4, kSteps = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kSteps; ++i) {
        StepOutcome s{
            StepKind::kEffect, 1, StepStatus::kOk, Bytes{std::uint8_t(t)}, std::nullopt, i, i};
        EXPECT_TRUE(j->record_step("f", std::uint64_t(t * kSteps + i), "k", s).ok());
        EXPECT_TRUE(j->acquire_lease("f", "pid-1", 100).ok());
        EXPECT_TRUE(j->get_flow("f").ok());
      }
    });
  }
  for (auto& t : threads) t.join();
  auto all = j->steps_for_flow("f");
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), std::size_t{kThreads * kSteps});
}

}  // namespace
}  // namespace vorn::journal
