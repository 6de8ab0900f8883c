#include "api/codec/msgpack_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "codec_test_util.h"

namespace vorn {
namespace {

using testing::Bytes;
using testing::hex;

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes encoded(const Json& v) {
  auto r = encode_msgpack(v);
  EXPECT_TRUE(r.has_value());
  return r.value_or(Bytes{});
}

TEST(MsgpackJson, ScalarForms) {
  struct Case {
    Json value;
    std::string bytes;
  } cases[] = {
      {nullptr, "c0"},
      {false, "c2"},
      {true, "c3"},
      {0, "00"},
      {127, "7f"},
      {128, "cc80"},
      {255, "ccff"},
      {256, "cd0100"},
      {65535, "cdffff"},
      {65536, "ce00010000"},
      {4294967295u, "ceffffffff"},
      {4294967296LL, "cf0000000100000000"},
      {std::numeric_limits<std::uint64_t>::max(), "cfffffffffffffffff"},
      {-1, "ff"},
      {-32, "e0"},
      {-33, "d0df"},
      {-128, "d080"},
      {-129, "d1ff7f"},
      {-32768, "d18000"},
      {-32769, "d2ffff7fff"},
      {-2147483648LL, "d280000000"},
      {-2147483649LL, "d3ffffffff7fffffff"},
      {std::numeric_limits<std::int64_t>::min(), "d38000000000000000"},
      {1.5, "cb3ff8000000000000"},
      {5.0, "cb4014000000000000"},  // integral floats stay float 64
      {0.1, "cb3fb999999999999a"},
      {-0.0, "cb8000000000000000"},
      {-2.0, "cb c000000000000000"},
      {1e20, "cb 4415af1d78b58c40"},
      {"", "a0"},
      {"a", "a161"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    EXPECT_EQ(encoded(c.value), hex(c.bytes));
    auto back = decode_msgpack(hex(c.bytes));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.value);
    EXPECT_EQ(back->type(),
              c.value.type() == Json::value_t::number_integer && c.value.get<std::int64_t>() >= 0
                  ? Json::value_t::number_unsigned
                  : c.value.type());
  }
}

TEST(MsgpackJson, SignedEncodingsOfNonNegativeValuesAndFloat32Decode) {
  EXPECT_EQ(*decode_msgpack(hex("d005")), Json(5));
  EXPECT_EQ(*decode_msgpack(hex("d3000000000000002a")), Json(42));
  EXPECT_EQ(*decode_msgpack(hex("ca3fc00000")), Json(1.5));
  EXPECT_TRUE(decode_msgpack(hex("ca3fc00000"))->is_number_float());
}

TEST(MsgpackJson, HeaderBoundaries) {
  struct Case {
    std::size_t length;
    std::string str_head, array_head, map_head;
  } cases[] = {
      {0, "a0", "90", "80"},
      {15, "af", "9f", "8f"},
      {16, "b0", "dc0010", "de0010"},
      {31, "bf", "dc001f", "de001f"},
      {32, "d920", "dc0020", "de0020"},
      {255, "d9ff", "dc00ff", "de00ff"},
      {256, "da0100", "dc0100", "de0100"},
      {65535, "daffff", "dcffff", "deffff"},
      {65536, "db00010000", "dd00010000", "df00010000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string s(c.length, 'x');
    EXPECT_EQ(encoded(s), cat(hex(c.str_head), Bytes(c.length, 'x')));
    const Json array(c.length, Json(0));
    EXPECT_EQ(encoded(array), cat(hex(c.array_head), Bytes(c.length, 0)));
    Json object = Json::object();
    for (std::size_t i = 0; i < c.length; ++i) object[std::to_string(100000 + i)] = 0;
    const Bytes enc = encoded(object);
    const Bytes head = hex(c.map_head);
    ASSERT_GE(enc.size(), head.size());
    EXPECT_EQ(Bytes(enc.begin(), enc.begin() + static_cast<long>(head.size())), head);
    EXPECT_EQ(*decode_msgpack(cat(hex(c.str_head), Bytes(c.length, 'x'))), Json(s));
    EXPECT_EQ(*decode_msgpack(enc), object);
    EXPECT_EQ(*decode_msgpack(encoded(array)), array);
  }
}

TEST(MsgpackJson, ObjectKeysAscendingByteOrder) {
  Json v = Json::parse(R"({"b": 1, "a": [true, null], "B": {"z": -1, "y": "s"}, "\u00e9": 2.5})");
  const Bytes expected =
      hex("84"
          "a142"
          "82"
          "a179"
          "a173"
          "a17a"
          "ff"
          "a161"
          "92"
          "c3"
          "c0"
          "a162"
          "01"
          "a2c3a9"
          "cb4004000000000000");
  EXPECT_EQ(encoded(v), expected);
  EXPECT_EQ(*decode_msgpack(expected), v);
}

Json nested_arrays(std::size_t depth) {
  Json v = Json::array();
  for (std::size_t i = 1; i < depth; ++i) v = Json::array({std::move(v)});
  return v;
}

TEST(MsgpackJson, DepthLimit) {
  EXPECT_TRUE(encode_msgpack(nested_arrays(1024)).has_value());
  EXPECT_FALSE(encode_msgpack(nested_arrays(1025)).has_value());
  EXPECT_EQ(encode_msgpack_value(nested_arrays(1025)).error(),
            "value nested deeper than 1024 levels");
  EXPECT_EQ(*decode_msgpack(encoded(nested_arrays(1024))), nested_arrays(1024));
  Bytes deep(1025, 0x91);
  deep.back() = 0x90;
  EXPECT_FALSE(decode_msgpack(deep).has_value());
  Bytes ok(1024, 0x91);
  ok.back() = 0x90;
  EXPECT_TRUE(decode_msgpack(ok).has_value());
  // Maps count as levels too.
  Bytes maps;
  for (int i = 0; i < 1025; ++i) maps.insert(maps.end(), {0x81, 0xa1, 'k'});
  maps.push_back(0xc0);
  EXPECT_EQ(decode_msgpack_value(maps).error(), "nesting deeper than 1024 levels");
}

TEST(MsgpackJson, HostileInputsFailCleanly) {
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"million nested arrays", Bytes(1000000, 0x91)},
      {"empty", {}},
      {"reserved", hex("c1")},
      {"array32 of 2^32-1 over 5 bytes", hex("ddffffffff")},
      {"map32 of 2^32-1", hex("dfffffffff")},
      {"str32 of 2^32-1", hex("dbffffffff")},
      {"array claims more than bytes", hex("dc0003 01 02")},
      {"map claims more than bytes", hex("82 a161 01")},
      {"truncated uint64", hex("cf0001")},
      {"truncated float64", hex("cb3ff8")},
      {"truncated str", hex("a3 6162")},
      {"bin8", hex("c40161")},
      {"bin32 huge", hex("c6ffffffff")},
      {"fixext1", hex("d40100")},
      {"ext8", hex("c7010100")},
      {"bin inside array", hex("91 c40161")},
      {"int key", hex("81 01 02")},
      {"nil key", hex("81 c0 02")},
      {"array key", hex("81 90 02")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_msgpack_value(c.bytes);
    EXPECT_FALSE(r.ok());
  }
  EXPECT_EQ(decode_msgpack_value(hex("c40161")).error(), "bin value has no JSON counterpart");
  EXPECT_EQ(decode_msgpack_value(hex("81 01 02")).error(), "map key is not a string");
  EXPECT_EQ(decode_msgpack_value(hex("c1")).error(), "reserved marker 0xc1");
  EXPECT_EQ(decode_msgpack_value(hex("cf00")).error(), "unexpected end of data");
}

TEST(MsgpackJson, TrailingBytesIgnoredAndConsumedReported) {
  std::size_t consumed = 0;
  auto r = decode_msgpack_value(hex("92 01 a161 ff ff"), &consumed);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, Json::parse(R"([1, "a"])"));
  EXPECT_EQ(consumed, 4u);
  EXPECT_EQ(*decode_msgpack(hex("05 06")), Json(5));
}

TEST(MsgpackJson, DuplicateKeyKeepsLast) {
  EXPECT_EQ(*decode_msgpack(hex("82 a161 01 a161 02")), Json::parse(R"({"a": 2})"));
}

TEST(MsgpackJson, RoundTrip) {
  const Json v = Json::parse(
      R"({"nested": {"list": [1, -2, 3.25, "x", null, false, [], {}]}, "big": 18446744073709551615,
          "neg": -9223372036854775808, "text": "h\u00e9llo\n"})");
  EXPECT_EQ(*decode_msgpack(encoded(v)), v);
}

TEST(MsgpackJson, RandomBytesNeverCrash) {
  std::mt19937_64 rng(12345);
  std::size_t decoded = 0;
  for (int round = 0; round < 200000; ++round) {
    Bytes bytes(rng() % 48);
    for (auto& b : bytes) {
      // Bias towards container and length markers to reach deep paths.
      const auto pick = rng() % 4;
      b = pick == 0 ? static_cast<std::uint8_t>(0x80 + rng() % 0x20)
                    : static_cast<std::uint8_t>(rng());
    }
    auto r = decode_msgpack(bytes);
    if (r) {
      ++decoded;
      // Whatever decodes re-encodes, and that encoding is a fixed point (compared as
      // bytes, since NaN != NaN).
      auto again = encode_msgpack(*r);
      ASSERT_TRUE(again.has_value());
      auto back = decode_msgpack(*again);
      ASSERT_TRUE(back.has_value());
      EXPECT_EQ(encode_msgpack(*back), again);
    }
  }
  EXPECT_GT(decoded, 0u);
}

}  // namespace
}  // namespace vorn
