#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "api/codec/cache_payload.h"
#include "api/codec/msgpack_json.h"
#include "api/codec/step_payload.h"

#include "codec_test_util.h"

namespace vorn {
namespace {

using testing::Bytes;
using testing::hex;

// MessagePack str of a short ASCII text.
Bytes str(const std::string& text) {
  Bytes out(text.size() + 1);
  out[0] = static_cast<std::uint8_t>(0xa0 | text.size());
  for (std::size_t i = 0; i < text.size(); ++i) out[i + 1] = static_cast<std::uint8_t>(text[i]);
  return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kStepFive = join({{0x82}, str("schema"), str("vorn.step/v1"), str("payload"), {0x05}});

TEST(StepPayload, EncodeFiveIsByteExact) {
  auto bytes = encode_payload(Json(5));
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*bytes, kStepFive);
  EXPECT_EQ(kStepFive[0], 0x82);
  EXPECT_EQ(kStepFive[8], 0xac);
}

TEST(StepPayload, EncodeDepthLimit) {
  Json v = Json::array();
  for (int i = 1; i < 1024; ++i) v = Json::array({std::move(v)});
  auto ok = encode_payload(v);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(*decode_payload(*ok), v);  // the payload has its own 1024-level budget
  EXPECT_FALSE(encode_payload(Json::array({v})).has_value());
}

TEST(StepPayload, DecodeTable) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<Json> expected;
  } cases[] = {
      {"envelope", kStepFive, Json(5)},
      {"untagged integer", {0x05}, Json(5)},
      {"trailing byte ignored", {0x05, 0x06}, Json(5)},
      {"envelope with trailing bytes", join({kStepFive, {0xc1, 0xc1}}), Json(5)},
      {"keys reversed", join({{0x82}, str("payload"), {0xc3}, str("schema"), str("vorn.step/v1")}),
       Json(true)},
      {"extra keys skipped (bin, ext, int-keyed map)",
       join({{0x85},
             str("x"),
             hex("c40201 02"),
             str("payload"),
             {0x07},
             str("y"),
             hex("d40100"),
             str("schema"),
             str("vorn.step/v1"),
             str("z"),
             hex("81 01 02")}),
       Json(7)},
      {"array envelope", join({{0x92}, str("vorn.step/v1"), {0xc3}}), Json(true)},
      {"foreign tag -> whole map",
       join({{0x82}, str("schema"), str("vorn.step/v2"), str("payload"), {0x05}}),
       Json::parse(R"({"schema": "vorn.step/v2", "payload": 5})")},
      {"foreign tag array -> whole array", join({{0x92}, str("other"), {0x01}}),
       Json::parse(R"(["other", 1])")},
      {"missing payload -> whole map", join({{0x81}, str("schema"), str("vorn.step/v1")}),
       Json::parse(R"({"schema": "vorn.step/v1"})")},
      {"schema not a string -> whole map",
       join({{0x82}, str("schema"), {0x01}, str("payload"), {0x05}}),
       Json::parse(R"({"schema": 1, "payload": 5})")},
      {"three-element array -> whole array", join({{0x93}, str("vorn.step/v1"), {0x01, 0x02}}),
       Json::parse(R"(["vorn.step/v1", 1, 2])")},
      {"reserved byte", {0xc1}, std::nullopt},
      {"empty", {}, std::nullopt},
      {"truncated envelope", Bytes(kStepFive.begin(), kStepFive.end() - 1), std::nullopt},
      {"bin payload",
       join({{0x82}, str("schema"), str("vorn.step/v1"), str("payload"), hex("c40101")}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_payload(c.bytes), c.expected);
  }
}

TEST(StepPayload, DecodeStepPayloadKeepsTag) {
  auto owned = decode_step_payload(join({{0x92}, str("later/v9"), {0xc0}}));
  ASSERT_TRUE(owned.has_value());
  EXPECT_EQ(owned->schema, "later/v9");
  EXPECT_EQ(owned->payload, Json(nullptr));
  const Json v = Json::parse(R"({"idempotency_key": "k-1"})");
  auto bytes = encode_step_payload(StepPayloadRef{kStepPayloadSchema, v});
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(*decode_payload(*bytes), v);
}

TEST(CachePayload, ExampleBytes) {
  const Bytes expected =
      join({{0x82}, str("schema"), str("vorn.cache/v1"), str("payload"), hex("81 a161 01")});
  auto bytes = encode_cache_payload(Json::parse(R"({"a": 1})"));
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(*bytes, expected);
  EXPECT_EQ(expected[8], 0xad);
  auto back = decode_cache_payload(expected);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, Json::parse(R"({"a": 1})"));
}

TEST(CachePayload, EncodeFailure) {
  Json v = Json::array();
  for (int i = 0; i < 1025; ++i) v = Json::array({std::move(v)});
  auto r = encode_cache_payload(v);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "value nested deeper than 1024 levels");
}

TEST(CachePayload, DecodeTable) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::string outcome;  // the payload's dump, or the failure reason
  } cases[] = {
      {"reversed keys, extra key",
       join({{0x83},
             str("payload"),
             hex("92 01 c0"),
             str("v"),
             {0x01},
             str("schema"),
             str("vorn.cache/v1")}),
       "[1,null]"},
      {"array form", join({{0x92}, str("vorn.cache/v1"), str("x")}), "\"x\""},
      {"other schema", join({{0x82}, str("schema"), str("other/x"), str("payload"), {0x01}}),
       "unrecognized cache payload schema \"other/x\""},
      {"step schema", join({{0x82}, str("schema"), str("vorn.step/v1"), str("payload"), {0x01}}),
       "unrecognized cache payload schema \"vorn.step/v1\""},
      {"not an envelope", {0x05}, "messagepack decode failed: expected an envelope map or array"},
      {"missing payload", join({{0x81}, str("schema"), str("vorn.cache/v1")}),
       "messagepack decode failed: missing envelope field `payload`"},
      {"missing schema", join({{0x81}, str("payload"), {0x01}}),
       "messagepack decode failed: missing envelope field `schema`"},
      {"schema wrong type", join({{0x82}, str("schema"), {0x01}, str("payload"), {0x01}}),
       "messagepack decode failed: envelope field `schema` is not a string"},
      {"truncated", join({{0x82}, str("schema"), str("vorn.cache/v1"), str("payload")}),
       "messagepack decode failed: unexpected end of data"},
      {"ext payload",
       join({{0x82}, str("schema"), str("vorn.cache/v1"), str("payload"), hex("d40100")}),
       "messagepack decode failed: ext value has no JSON counterpart"},
      {"non-str key in payload",
       join({{0x82}, str("schema"), str("vorn.cache/v1"), str("payload"), hex("81 01 01")}),
       "messagepack decode failed: map key is not a string"},
      {"array of 3", join({{0x93}, str("vorn.cache/v1"), {0x01, 0x02}}),
       "messagepack decode failed: envelope array has 3 elements, expected 2"},
      {"empty", {}, "messagepack decode failed: unexpected end of data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_cache_payload(c.bytes);
    EXPECT_EQ(r.ok() ? r->dump() : r.error(), c.outcome);
  }
}

TEST(Envelope, RandomBytesNeverCrash) {
  std::mt19937_64 rng(777);
  const Bytes prefix = join({{0x82}, str("schema"), str("vorn.cache/v1"), str("payload")});
  for (int round = 0; round < 100000; ++round) {
    Bytes bytes = (round % 2 == 0) ? prefix : Bytes{};
    const std::size_t n = rng() % 40;
    for (std::size_t i = 0; i < n; ++i) bytes.push_back(static_cast<std::uint8_t>(rng()));
    (void)decode_payload(bytes);
    (void)decode_cache_payload(bytes);
  }
  // Deep nesting in a skipped entry fails without recursion.
  Bytes deep =
      join({{0x83}, str("schema"), str("vorn.cache/v1"), str("payload"), {0x01}, str("x")});
  deep.insert(deep.end(), 1000000, 0x91);
  EXPECT_FALSE(decode_cache_payload(deep).ok());
  EXPECT_FALSE(decode_payload(deep).has_value());
}

}  // namespace
}  // namespace vorn
