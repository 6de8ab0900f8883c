#include "api/codec/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vorn {
namespace {

std::optional<std::string> decode(std::string_view text) {
  auto bytes = decode_base64(text);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

TEST(Base64, AcceptTable) {
  struct Case {
    const char* text;
    std::string bytes;
  } cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {"eyJzdGF0ZSI6ImRvbmUifQ==", R"({"state":"done"})"},
      {"+/+/", "\xfb\xff\xbf"},
      {"AAAA", std::string(3, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decode(c.text), c.bytes);
  }
}

TEST(Base64, RejectTable) {
  const char* cases[] = {
      "Zg",           // padding required
      "Zg=",          // length not a multiple of 4
      "Zm9",          //
      "Z===",         // too much padding
      "====",         //
      "Zg==Zg==",     // padding in the middle
      "Zm=v",         // '=' before a symbol
      "-_-_",         // URL-safe alphabet
      "Zm9v\n",       // whitespace
      "Zm 9v",        //
      "Zh==",         // non-canonical trailing bits ("Zg==" is canonical)
      "Zm9=",         // non-canonical trailing bits ("Zm8=" is canonical)
      "Zm9v\xff===",  // non-ASCII
  };
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    EXPECT_EQ(decode(c), std::nullopt);
  }
}

}  // namespace
}  // namespace vorn
