#include "journal/records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "api/result.h"
#include "journal/clock.h"
#include "journal/error.h"
#include "journal/types.h"

namespace vorn::journal {
namespace {

constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();

std::string corrupt_text(const std::string& column, const std::string& quoted) {
  return "journal column `" + column + "` holds a value outside the schema contract: " + quoted;
}

TEST(JournalEnumTest, StoredTextsRoundTrip) {
  for (auto s :
       {FlowStatus::kRunning, FlowStatus::kCompleted, FlowStatus::kFailed, FlowStatus::kDead}) {
    auto back = flow_status_from_db(flow_status_text(s));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, s);
  }
  for (auto s : {StepStatus::kOk, StepStatus::kError, StepStatus::kRunning}) {
    auto back = step_status_from_db(step_status_text(s));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, s);
  }
  for (auto k : {StepKind::kEffect, StepKind::kTime, StepKind::kRandom, StepKind::kSubprocess,
                 StepKind::kMarker}) {
    auto back = step_kind_from_db(step_kind_text(k));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, k);
  }
  EXPECT_EQ(flow_status_text(FlowStatus::kCompleted), "completed");
  EXPECT_EQ(step_status_text(StepStatus::kOk), "ok");
  EXPECT_EQ(step_kind_text(StepKind::kSubprocess), "subprocess");
  auto c = error_class_from_db("cancelled");
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(*c, ErrorClass::kCancelled);
}

TEST(JournalEnumTest, UnknownTextIsCorruptNamingColumn) {
  struct Case {
    std::function<Status<Error>(std::string_view)> from_db;
    std::string text;
    std::string expected;
  };
  auto wrap = [](auto fn) {
    return [fn](std::string_view t) -> Status<Error> {
      auto r = fn(t);
      if (r.ok()) return {};
      return r.error();
    };
  };
  const Case cases[] = {
      {wrap(flow_status_from_db), "Running", corrupt_text("flows.status", "\"Running\"")},
      {wrap(flow_status_from_db), "", corrupt_text("flows.status", "\"\"")},
      {wrap(step_status_from_db), "failed", corrupt_text("steps.outcome", "\"failed\"")},
      {wrap(step_kind_from_db), "effect ", corrupt_text("steps.kind", "\"effect \"")},
      {wrap(error_class_from_db), "CONN", corrupt_text("steps.error_class", "\"CONN\"")},
  };
  for (const auto& c : cases) {
    auto s = c.from_db(c.text);
    ASSERT_FALSE(s.ok()) << c.text;
    EXPECT_EQ(s.error().kind(), Error::Kind::kCorrupt);
    EXPECT_EQ(s.error().text(), c.expected);
  }
}

TEST(JournalErrorTest, DisplayTexts) {
  EXPECT_EQ(Error::sqlite(5, "database is locked").text(),
            "journal storage error: database is locked");
  EXPECT_EQ(Error::postgres("connection refused").text(),
            "journal storage error: connection refused");
  EXPECT_EQ(Error::worker_gone().text(), "journal connection worker thread is no longer running");
  EXPECT_EQ(Error::worker_spawn("Resource temporarily unavailable").text(),
            "could not spawn a journal connection worker thread: Resource temporarily unavailable");
  EXPECT_EQ(Error::corrupt("flows.status", "a\"b\\c").text(),
            corrupt_text("flows.status", R"("a\"b\\c")"));
  EXPECT_EQ(Error::corrupt("seq", std::uint64_t{18446744073709551615u}).text(),
            corrupt_text("seq", "\"18446744073709551615\""));
}

TEST(JournalErrorTest, SqliteBusyAndLockedAreRecognisedByPrimaryCode) {
  EXPECT_TRUE(Error::sqlite(5, "busy").is_busy_or_locked());                 // SQLITE_BUSY
  EXPECT_TRUE(Error::sqlite(6, "locked").is_busy_or_locked());               // SQLITE_LOCKED
  EXPECT_TRUE(Error::sqlite(5 | (2 << 8), "snapshot").is_busy_or_locked());  // BUSY_SNAPSHOT
  EXPECT_FALSE(Error::sqlite(14, "cantopen").is_busy_or_locked());
  EXPECT_FALSE(Error::corrupt("seq", "5").is_busy_or_locked());
  Status<Error> placeholder;  // default-constructible for Status
  EXPECT_TRUE(placeholder.ok());
}

StepRowData good_step_row() {
  return StepRowData{"effect", 2, "error", Bytes{1, 2}, std::string("http"), 10, 20};
}

TEST(StepFromRowTest, ConvertsAGoodRow) {
  auto step = step_from_row(good_step_row());
  ASSERT_TRUE(step.ok());
  EXPECT_EQ(*step, (StepOutcome{StepKind::kEffect, 2, StepStatus::kError, Bytes{1, 2},
                                ErrorClass::kHttp, 10, 20}));
}

TEST(StepFromRowTest, ChecksInOrderErrorClassKindAttemptOutcome) {
  StepRowData row{"bogus", -1, "done", std::nullopt, std::string("weird"), 0, std::nullopt};
  const std::string expected[] = {
      corrupt_text("steps.error_class", "\"weird\""),
      corrupt_text("steps.kind", "\"bogus\""),
      corrupt_text("steps.attempt", "\"-1\""),
      corrupt_text("steps.outcome", "\"done\""),
  };
  for (int fixed = 0; fixed < 4; ++fixed) {
    auto step = step_from_row(row);
    ASSERT_FALSE(step.ok());
    EXPECT_EQ(step.error().text(), expected[fixed]);
    switch (fixed) {
      case 0:
        row.error_class.reset();
        break;
      case 1:
        row.kind = "time";
        break;
      case 2:
        row.attempt = 0;
        break;
      case 3:
        row.outcome = "ok";
        break;
    }
  }
  EXPECT_TRUE(step_from_row(row).ok());
}

TEST(StepFromRowTest, AttemptRange) {
  StepRowData row = good_step_row();
  row.attempt = 4294967295;
  auto top = step_from_row(row);
  ASSERT_TRUE(top.ok());
  EXPECT_EQ(top->attempt, 4294967295u);
  row.attempt = 4294967296;
  auto over = step_from_row(row);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().text(), corrupt_text("steps.attempt", "\"4294967296\""));
}

TEST(FlowFromRowTest, ConvertsStatusAndKeepsTheRest) {
  FlowRowData row{"f", "py:m:main", "h", std::nullopt, "dead", std::string("pid-1"), 99, 1, 2};
  auto flow = flow_from_row(row);
  ASSERT_TRUE(flow.ok());
  EXPECT_EQ(*flow, (FlowDescriptor{"f", "py:m:main", "h", std::nullopt, FlowStatus::kDead,
                                   std::string("pid-1"), 99, 1, 2}));
  row.status = "DEAD";
  auto bad = flow_from_row(row);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text(), corrupt_text("flows.status", "\"DEAD\""));
}

TEST(JournalArithmeticTest, ToI64AndSaturatingAdd) {
  auto top = to_i64("seq", static_cast<std::uint64_t>(kI64Max));
  ASSERT_TRUE(top.ok());
  EXPECT_EQ(*top, kI64Max);
  auto over = to_i64("seq", static_cast<std::uint64_t>(kI64Max) + 1);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().text(), corrupt_text("seq", "\"9223372036854775808\""));

  EXPECT_EQ(add_ms_saturating(1000, 500), 1500);
  EXPECT_EQ(add_ms_saturating(kI64Max - 1, 5), kI64Max);
  EXPECT_EQ(add_ms_saturating(1000, std::numeric_limits<std::uint64_t>::max()), kI64Max);
  EXPECT_EQ(add_ms_saturating(-10, 4), -6);
}

TEST(ClockTest, WallClockConversion) {
  struct Case {
    std::int64_t seconds, nanos, expected;
  };
  const Case cases[] = {
      {0, 0, 0},
      {1, 500'000'000, 1500},
      {1, 999'999, 1000},
      {-1, 999'999'999, 0},  // before the epoch
      {kI64Max / 1000, 807'000'000, kI64Max},
      {kI64Max / 1000, 999'999'999, kI64Max},  // overflows in the addition
      {kI64Max / 1000 + 1, 0, kI64Max},        // overflows in the multiplication
  };
  for (const auto& c : cases) {
    EXPECT_EQ(wall_ms_from(c.seconds, c.nanos), c.expected) << c.seconds << "s " << c.nanos;
  }
  SystemClock system;
  EXPECT_EQ(system.name(), "SystemClock");
  EXPECT_GT(system.now_ms(), std::int64_t{1'600'000'000'000});
}

}  // namespace
}  // namespace vorn::journal
