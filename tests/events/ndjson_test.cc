#include "events/ndjson.h"

#include <gtest/gtest.h>

#include <string>

#include "api/json.h"

namespace vorn::events {
namespace {

std::string line(std::uint64_t seq, std::uint64_t ms, EventKind kind) {
  return encode_event_line(Event{1, seq, ms, std::move(kind)});
}

TEST(EncodeEventLine, ExactBytesPerKind) {
  struct Case {
    EventKind kind;
    const char* want;
  };
  const Case cases[] = {
      {RunStart{"019abcdef01-00af", 1700000000000, 4242},
       R"({"v":1,"seq":7,"ms":12,"event":"run_start","run":"019abcdef01-00af","wall_ms":1700000000000,"pid":4242})"},
      {RunStart{"r", std::nullopt, std::nullopt},
       R"({"v":1,"seq":7,"ms":12,"event":"run_start","run":"r"})"},
      {CallStart{"t-000001", "api.example.com", "GET /x"},
       R"({"v":1,"seq":7,"ms":12,"event":"call_start","call":"t-000001","target":"api.example.com","op":"GET /x"})"},
      {CacheHit{"t-000001", "llm:openai", CacheStore::kPersistent},
       R"({"v":1,"seq":7,"ms":12,"event":"cache_hit","call":"t-000001","target":"llm:openai","scope":"persistent"})"},
      {CacheMiss{"t-000001", "llm:openai", CacheStore::kMemory},
       R"({"v":1,"seq":7,"ms":12,"event":"cache_miss","call":"t-000001","target":"llm:openai","scope":"memory"})"},
      {Throttle{"c", "t", 250},
       R"({"v":1,"seq":7,"ms":12,"event":"throttle","call":"c","target":"t","wait_ms":250})"},
      {BreakerReject{"c", "t"},
       R"({"v":1,"seq":7,"ms":12,"event":"breaker_reject","call":"c","target":"t"})"},
      {BreakerHalfOpen{"c", "t"},
       R"({"v":1,"seq":7,"ms":12,"event":"breaker_half_open","call":"c","target":"t"})"},
      {BreakerOpen{"c", "t", 30000},
       R"({"v":1,"seq":7,"ms":12,"event":"breaker_open","call":"c","target":"t","cooldown_ms":30000})"},
      {BreakerClose{"c", "t"},
       R"({"v":1,"seq":7,"ms":12,"event":"breaker_close","call":"c","target":"t"})"},
      {AttemptStart{"c", "t", 1},
       R"({"v":1,"seq":7,"ms":12,"event":"attempt_start","call":"c","target":"t","attempt":1})"},
      {AttemptError{"c", "t", 2, ErrorClass::kHttp, 503},
       R"({"v":1,"seq":7,"ms":12,"event":"attempt_error","call":"c","target":"t","attempt":2,"class":"http","http_status":503})"},
      {AttemptError{"c", "t", 1, ErrorClass::kConn, std::nullopt},
       R"({"v":1,"seq":7,"ms":12,"event":"attempt_error","call":"c","target":"t","attempt":1,"class":"conn"})"},
      {Backoff{"c", "t", 1, 400},
       R"({"v":1,"seq":7,"ms":12,"event":"backoff","call":"c","target":"t","attempt":1,"wait_ms":400})"},
      {CallEnd{"c", "t", "ok", std::nullopt, 1},
       R"({"v":1,"seq":7,"ms":12,"event":"call_end","call":"c","target":"t","result":"ok","attempts":1})"},
      {CallEnd{"c", "t", "error", ErrorCode::kE010, 3},
       R"({"v":1,"seq":7,"ms":12,"event":"call_end","call":"c","target":"t","result":"error","code":"VORN-E010","attempts":3})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(line(7, 12, c.kind), std::string(c.want) + "\n");
  }
}

TEST(EncodeEventLine, LargestNumbersAreDecimal) {
  constexpr std::uint64_t kMax = UINT64_MAX;
  EXPECT_EQ(
      line(kMax, kMax, Throttle{"c", "t", kMax}),
      R"({"v":1,"seq":18446744073709551615,"ms":18446744073709551615,"event":"throttle","call":"c","target":"t","wait_ms":18446744073709551615})"
      "\n");
}

TEST(AppendJsonString, EscapesOnlyTheListedCharacters) {
  struct Case {
    std::string in;
    std::string want;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00", 1), R"("\u0000")"},
      {"\x01", R"("\u0001")"},
      {"\x0b", R"("\u000b")"},
      {"\x1f", R"("\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"a/b", R"("a/b")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
  };
  for (const Case& c : cases) {
    std::string out;
    append_json_string(out, c.in);
    EXPECT_EQ(out, c.want) << "input size " << c.in.size();
  }
}

TEST(EncodeEventLine, HostileTargetStaysOneValidJsonLine) {
  std::string target = "a\"b\\c\nd\re\x01/\xc3\xa9";
  std::string out = line(3, 4, CallStart{"t-000001", target, "op"});
  ASSERT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\n'), out.size() - 1);
  Json parsed = Json::parse(out.substr(0, out.size() - 1));
  EXPECT_EQ(parsed["target"].get<std::string>(), target);
  EXPECT_EQ(parsed["seq"].get<std::uint64_t>(), 3u);
}

}  // namespace
}  // namespace vorn::events
