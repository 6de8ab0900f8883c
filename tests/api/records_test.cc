#include "api/records.h"

#include <gtest/gtest.h>

#include "api/vorn_error.h"

namespace vorn {
namespace {

struct RequestCase {
  const char* json;
  const char* error;  // nullptr when the request decodes
};

class DecodeRequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(DecodeRequestTest, ReportsTheDecodersText) {
  auto r = decode_request(Json::parse(GetParam().json));
  if (GetParam().error) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), GetParam().error);
  } else {
    EXPECT_TRUE(r.ok()) << r.error();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeRequestTest,
    ::testing::Values(
        RequestCase{R"({"v": 1, "target": "t", "op": "o", "extra": [1]})", nullptr},
        RequestCase{R"({"v": 2, "target": "t", "op": "o", "args_hash": null})", nullptr},
        RequestCase{R"({"target": "t", "op": "o"})", "missing field `v`"},
        RequestCase{R"({"v": 1, "op": "o"})", "missing field `target`"},
        RequestCase{R"({"v": 1, "target": 5, "op": "o"})",
                    "invalid type: integer `5`, expected a string"},
        RequestCase{R"({"v": -1, "target": "t", "op": "o"})",
                    "invalid value: integer `-1`, expected u32"},
        RequestCase{R"({"v": 4294967296, "target": "t", "op": "o"})",
                    "invalid value: integer `4294967296`, expected u32"},
        RequestCase{R"({"v": 1.5, "target": "t", "op": "o"})",
                    "invalid type: floating point `1.5`, expected u32"},
        RequestCase{R"({"v": 1, "target": "t", "op": "o", "idempotent": null})",
                    "invalid type: null, expected a boolean"},
        // A bad value is reported before a missing field.
        RequestCase{R"({"v": 1, "op": 3})", "invalid type: integer `3`, expected a string"},
        RequestCase{R"([1, "t", "o"])", "invalid type: sequence, expected struct Request"}));

TEST(DecodeAttemptResult, VariantsAndMissingFields) {
  auto ok = decode_attempt_result(Json::parse(R"({"status": "ok", "payload": null})"));
  ASSERT_TRUE(ok.ok());
  EXPECT_TRUE(ok->ok);
  EXPECT_TRUE(ok->payload.is_null());

  auto err = decode_attempt_result(Json::parse(
      R"({"status": "error", "class": "http", "http_status": 503, "retry_after_ms": 5,
          "original": null})"));
  ASSERT_TRUE(err.ok());
  EXPECT_EQ(err->error.error_class, ErrorClass::kHttp);
  EXPECT_EQ(err->error.http_status, 503);
  EXPECT_EQ(err->error.retry_after_ms, 5u);
  EXPECT_EQ(err->error.message, "");
  EXPECT_FALSE(err->error.original);

  const std::pair<const char*, const char*> failures[] = {
      {R"({"status": "error"})", "missing field `class`"},
      {R"({"status": "ok"})", "missing field `payload`"},
      {R"({"status": "maybe"})", "unknown variant `maybe`, expected `ok` or `error`"},
      {R"({"status": "error", "class": "dns"})",
       "unknown variant `dns`, expected one of `conn`, `timeout`, `http`, `cancelled`, `other`"},
      {R"({"status": "error", "class": "http", "http_status": 70000})",
       "invalid value: integer `70000`, expected u16"},
  };
  for (const auto& [json, text] : failures) {
    auto r = decode_attempt_result(Json::parse(json));
    ASSERT_FALSE(r.ok()) << json;
    EXPECT_EQ(r.error(), text);
  }
}

TEST(Records, TextForms) {
  EXPECT_EQ(trace_id_for(1), "t-000001");
  EXPECT_EQ(trace_id_for(999999), "t-999999");
  EXPECT_EQ(trace_id_for(1000000), "t-1000000");
  EXPECT_EQ(error_code_text(ErrorCode::kE001), "VORN-E001");
  EXPECT_EQ(error_code_text(ErrorCode::kE040), "VORN-E040");
  EXPECT_EQ((VornError{ErrorCode::kE003, "bad"}.text()), "VORN-E003: bad");
  EXPECT_EQ(breaker_state_text(BreakerState::kHalfOpen), "half_open");
}

TEST(Records, SingleAttemptOutcome) {
  AttemptResult failed = AttemptResult::failure(ErrorClass::kConn, "refused");
  failed.error.http_status = 502;
  failed.error.retry_after_ms = 10;
  Outcome o = outcome_from_single_attempt(failed);
  EXPECT_EQ(o.trace_id, "t-nested");
  EXPECT_EQ(o.attempts, 1u);
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code, ErrorCode::kE015);
  EXPECT_EQ(o.error->message, "refused");
  EXPECT_EQ(o.error->http_status, 502);
}

}  // namespace
}  // namespace vorn
