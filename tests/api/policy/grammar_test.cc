#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "api/policy/condition.h"
#include "api/policy/duration.h"
#include "api/policy/float_literal.h"
#include "api/policy/journal_location.h"
#include "api/policy/rate.h"
#include "api/policy/schedule.h"
#include "api/policy/target_resolution.h"
#include "api/policy/unicode_space.h"

namespace vorn {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ParseErrorTest, DisplayForms) {
  EXPECT_EQ(parse_error("30x", "duration").text(), "unparseable duration literal: \"30x\"");
  EXPECT_EQ(parse_error("a\"b\\\n", "rate").text(), "unparseable rate literal: \"a\\\"b\\\\\\n\"");
  ParseError with_detail{"0", "poll.interval", "must be a nonzero duration"};
  EXPECT_EQ(with_detail.text(),
            "invalid poll.interval literal: \"0\" \u2014 must be a nonzero duration");
}

TEST(DurationTest, Accepted) {
  struct Case {
    const char* text;
    DurationMs ms;
  };
  const Case cases[] = {
      {"0ms", 0},
      {"250ms", 250},
      {"30s", 30000},
      {" 30s ", 30000},
      {"\t2m\n", 120000},
      {"\u00a0\u30001h\u2003", 3600000},
      {"007s", 7000},
      {"18446744073709551615ms", kMax},
      {"5124095576030h", 5124095576030ull * 3600000},
  };
  for (const Case& c : cases) {
    auto r = parse_duration(c.text);
    ASSERT_TRUE(r.ok()) << c.text;
    EXPECT_EQ(*r, c.ms) << c.text;
  }
}

TEST(DurationTest, RejectedWithVerbatimInput) {
  const char* cases[] = {
      "0",
      "10 s",
      "10S",
      "1.5s",
      "+5s",
      "-5s",
      "5d",
      "",
      "  ",
      "ms",
      "s5",
      "5sec",
      "5 ms",
      "18446744073709551616ms",  // number does not fit
      "5124095576031h",          // product does not fit
      "18446744073709552s",
      "1s\u200b",  // zero-width space is not white space
  };
  for (const char* text : cases) {
    auto r = parse_duration(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), parse_error(text, "duration"));
  }
  EXPECT_EQ(parse_duration(" 30x ").error().text(), "unparseable duration literal: \" 30x \"");
}

TEST(RateTest, AcceptedAndRejected) {
  struct Case {
    const char* text;
    std::uint64_t count, period;
  };
  const Case ok[] = {
      {"100/min", 100, 60000},
      {" 5 / sec ", 5, 1000},
      {"1/s", 1, 1000},
      {"2/h", 2, 3600000},
      {"3/hour", 3, 3600000},
      {"+7/s", 7, 1000},
      {"18446744073709551615/s", kMax, 1000},
  };
  for (const Case& c : ok) {
    auto r = parse_rate(c.text);
    ASSERT_TRUE(r.ok()) << c.text;
    EXPECT_EQ(*r, (Rate{c.count, c.period})) << c.text;
  }
  const char* bad[] = {
      "100/m",  "0/s",    "100 per s", "100",   "/s",    "+/s",  "-1/s",
      "1/S",    "1/ s s", "1/",        "++1/s", "1 1/s", "1//s", "18446744073709551616/s",
      "1/min/", "0x1/s"};
  for (const char* text : bad) {
    auto r = parse_rate(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), parse_error(text, "rate"));
  }
}

TEST(FloatLiteralTest, DecimalGrammar) {
  struct Case {
    const char* text;
    double value;
  };
  const Case ok[] = {
      {"2", 2},
      {"1.5", 1.5},
      {"+1.5", 1.5},
      {"-2", -2},
      {"1.", 1},
      {".5", 0.5},
      {"1e3", 1000},
      {"1E-3", 1e-3},
      {"1.5e+2", 150},
      {"0", 0},
      {"1e400", HUGE_VAL},
      {"-1e400", -HUGE_VAL},
      {"1e-400", 0},
      {"0.000e999999999999", 0},
      {"inf", HUGE_VAL},
      {"-Infinity", -HUGE_VAL},
      {"INF", HUGE_VAL},
  };
  for (const Case& c : ok) {
    auto v = parse_float_literal(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
  auto nan = parse_float_literal("NaN");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  const char* bad[] = {"",     ".",   "e5",  "1e",      "1e+",  " 1",    "1 ",
                       "0x10", "1_0", "--1", "infinit", "nan1", "1.2.3", "+"};
  for (const char* text : bad) EXPECT_FALSE(parse_float_literal(text).has_value()) << text;
}

TEST(SchedulePrimaryTest, Forms) {
  auto exp = parse_schedule_primary("exp(200ms, x2, jitter, max 1s)");
  ASSERT_TRUE(exp.ok());
  EXPECT_EQ(*exp, SchedulePrimary::exponential(200, 2.0, 1000, true));
  EXPECT_EQ(*parse_schedule_primary("exp(200ms, x2, max 1s, max 2s)"),
            SchedulePrimary::exponential(200, 2.0, 2000, false));
  EXPECT_EQ(*parse_schedule_primary(" exp( 1s ,x1.5 ,max  30s ) "),
            SchedulePrimary::exponential(1000, 1.5, 30000, false));
  EXPECT_EQ(*parse_schedule_primary("exp(1s, x-1)"), SchedulePrimary::exponential(1000, -1.0));
  EXPECT_EQ(*parse_schedule_primary("fixed(1s)"), SchedulePrimary::fixed_wait(1000));
  EXPECT_EQ(*parse_schedule_primary("fixed( 5ms )"), SchedulePrimary::fixed_wait(5));
  const char* bad[] = {"exp(200ms)",
                       "exp(200ms, 2)",
                       "exp(200ms, x2, cap 1s)",
                       "exp(200ms, x 2)",
                       "exp()",
                       "exp(",
                       "exp(200ms, x2",
                       "exp(1.5s, x2)",
                       "exp(200ms, x2, max)",
                       "exp(200ms, x2, )",
                       "fixed()",
                       "fixed(1)",
                       "fixed(1s",
                       "fixed",
                       "Exp(1s, x2)",
                       "exp(200ms, x2, jitter, max 1s) x"};
  for (const char* text : bad) {
    auto r = parse_schedule_primary(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), parse_error(text, "schedule"));
  }
}

TEST(ScheduleTest, SegmentsAndBounds) {
  auto s = parse_schedule("fixed(500ms) upTo 5s andThen exp(1s, x2, max 1m)");
  ASSERT_TRUE(s.ok());
  ASSERT_EQ(s->segments.size(), 2u);
  EXPECT_EQ(s->segments[0], (ScheduleSegment{true, 5000, SchedulePrimary::fixed_wait(500)}));
  EXPECT_EQ(s->segments[1],
            (ScheduleSegment{false, 0, SchedulePrimary::exponential(1000, 2.0, 60000)}));
  EXPECT_EQ(*parse_schedule("exp(200ms,x2)"), *parse_schedule("  exp(200ms,   x2)\n"));
  EXPECT_EQ(*parse_schedule("exp(200ms, x2, max 30s, jitter)"), Schedule::default_schedule());
}

TEST(ScheduleTest, Rejected) {
  const std::string detail =
      "`upTo` must bound every segment except the last, and never the last (an unbounded "
      "segment never hands off; a bounded tail would leave attempts without a wait \u2014 cap "
      "total retrying with `attempts`)";
  struct Case {
    const char* text;
    bool with_detail;
  };
  const Case cases[] = {
      {"fixed(1s) upTo 10s", true},
      {"fixed(1s) andThen exp(1s, x2)", true},
      {"fixed(1s) upTo 1s andThen fixed(1s) andThen fixed(2s)", true},
      {"upTo 5s andThen fixed(1s)", false},
      {"fixed(1s) upTo 10s 20s andThen fixed(2s)", false},
      {"fixed(1s) upTo andThen fixed(2s)", false},
      {"fixed(1s) upTo 10x andThen fixed(2s)", false},
      {"andThen fixed(1s)", false},
      {"fixed(1s) upTo 1s andThen", false},
      {"fixed(1s) upTo 1s andThen andThen fixed(1s)", false},
      {"", false},
      {" \t ", false},
      {"exp(200ms, x 2)", false},
      {"fixed(1s) uptO 1s andThen fixed(1s)", false},
  };
  for (const Case& c : cases) {
    auto r = parse_schedule(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().input, c.text);
    EXPECT_EQ(r.error().kind, "schedule");
    EXPECT_EQ(r.error().detail.has_value(), c.with_detail) << c.text;
  }
  EXPECT_EQ(parse_schedule("exp(1s, x2) upTo 10s").error().text(),
            "invalid schedule literal: \"exp(1s, x2) upTo 10s\" \u2014 " + detail);
}

TEST(ConditionTest, AcceptedAndRejected) {
  using K = Condition::Kind;
  struct Case {
    const char* text;
    Condition c;
  };
  const Case ok[] = {
      {"conn", Condition::of(K::kConn)},
      {"timeout", Condition::of(K::kTimeout)},
      {"cancelled", Condition::of(K::kCancelled)},
      {"other", Condition::of(K::kOther)},
      {"4xx", Condition::of(K::k4xx)},
      {"5xx", Condition::of(K::k5xx)},
      {"429", Condition::exact(429)},
      {"100", Condition::exact(100)},
      {"599", Condition::exact(599)},
  };
  for (const Case& c : ok) {
    auto r = parse_condition(c.text);
    ASSERT_TRUE(r.ok()) << c.text;
    EXPECT_EQ(*r, c.c);
    EXPECT_EQ(r->text(), c.text);
  }
  const char* bad[] = {"4XX", " 5xx", "5xx ", "099", "600", "42", "4290", "+42", "http", ""};
  for (const char* text : bad) {
    auto r = parse_condition(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), parse_error(text, "retry condition"));
  }
}

TEST(JournalLocationTest, AcceptedAndRejected) {
  for (const char* text : {"file:x", "file:.vorn/journal.db", "postgres://h/db", "file: "}) {
    auto r = parse_journal_location(text);
    ASSERT_TRUE(r.ok()) << text;
    EXPECT_EQ(r->text, text);
  }
  for (const char* text : {"file:", "postgres://", "postgresql://h/db", "/tmp/j.db", "FILE:x",
                           " file:x", "Postgres://h", ""}) {
    auto r = parse_journal_location(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error(), parse_error(text, "journal location"));
  }
}

TEST(UnicodeSpaceTest, TrimAndSplit) {
  EXPECT_EQ(trim_space("\u2028 a b\u0085\u00a0"), "a b");
  EXPECT_EQ(trim_space("\xc2"), "\xc2");  // truncated sequence is not space
  EXPECT_EQ(trim_space("\u00e9"), "\u00e9");
  auto parts = split_space("a\u3000bc \t d\u2009");
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], "a");
  EXPECT_EQ(parts[1], "bc");
  EXPECT_EQ(parts[2], "d");
}

// Random byte strings and mutated valid texts must never crash or hang any parser.
TEST(GrammarFuzzTest, ArbitraryInputIsHandled) {
  std::mt19937_64 gen(20240611);
  const std::string seeds[] = {"exp(200ms, x2, max 30s, jitter)",
                               "fixed(500ms) upTo 5s andThen exp(1s, x2, max 1m)",
                               "100/min",
                               "30s",
                               "429",
                               "postgres://h/db",
                               "\u3000\u00a0"};
  const char alphabet[] = "0123456789msh/+-.,()x upTonTheaxjitr\t\n\xc2\xa0\xe3\x80\x80*:e";
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      std::size_t len = gen() % 40;
      for (std::size_t j = 0; j < len; ++j) {
        text += (i % 4 == 0) ? static_cast<char>(gen() & 0xFF)
                             : alphabet[gen() % (sizeof alphabet - 1)];
      }
    } else {
      text = seeds[gen() % std::size(seeds)];
      for (int m = 0; m < 3 && !text.empty(); ++m) {
        std::size_t pos = gen() % text.size();
        switch (gen() % 3) {
          case 0:
            text.erase(pos, 1);
            break;
          case 1:
            text.insert(pos, 1, alphabet[gen() % (sizeof alphabet - 1)]);
            break;
          default:
            text[pos] = static_cast<char>(gen() & 0xFF);
        }
      }
    }
    auto d = parse_duration(text);
    auto r = parse_rate(text);
    auto c = parse_condition(text);
    auto j = parse_journal_location(text);
    auto p = parse_schedule_primary(text);
    auto s = parse_schedule(text);
    if (!d.ok()) {
      EXPECT_EQ(d.error().input, text);
    }
    if (!s.ok()) {
      EXPECT_EQ(s.error().input, text);
    }
    if (s.ok()) {
      for (std::uint64_t n : {0ull, 1ull, 7ull, 100ull}) (void)s->wait_and_jitter(n);
    }
    (void)r;
    (void)c;
    (void)j;
    (void)p;
    (void)parse_float_literal(text);
    (void)is_bare_host_key(text);
    if (auto pattern = OutboundPattern::from_key(text)) {
      EXPECT_LE(pattern->wildcard_count + pattern->literal_count, text.size());
      (void)wildcard_match(pattern->host, text);
    }
    Policy policy;
    policy.target[text] = TargetPolicy{};
    policy.target["*" + text.substr(0, 5) + "*"] = TargetPolicy{};
    (void)policy.resolve_target(text.substr(0, 3), text, "https", std::nullopt, text);
  }
}

}  // namespace
}  // namespace vorn
