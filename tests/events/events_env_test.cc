#include "events/events_env.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace vorn::events {
namespace {

namespace fs = std::filesystem;

class ResolveEventsDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vorn-events-env-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(ResolveEventsDirTest, UnsetFollowsTheVornDirectory) {
  EXPECT_EQ(resolve_events_dir({dir_, std::nullopt}), std::nullopt);
  EXPECT_FALSE(fs::exists(dir_ / ".vorn"));

  std::ofstream(dir_ / ".vorn").put('x');  // a regular file is not the directory
  EXPECT_EQ(resolve_events_dir({dir_, std::nullopt}), std::nullopt);
  fs::remove(dir_ / ".vorn");

  fs::create_directory(dir_ / ".vorn");
  EXPECT_EQ(resolve_events_dir({dir_, std::nullopt}), dir_ / ".vorn" / "events");
  EXPECT_FALSE(fs::exists(dir_ / ".vorn" / "events"));  // resolving creates nothing
}

TEST_F(ResolveEventsDirTest, VariableDecidesRegardlessOfTheDirectory) {
  struct Case {
    std::string value;
    bool on;
  };
  const Case cases[] = {
      {"", false},      {"   ", false},     {"0", false},
      {" OFF ", false}, {"\tOff\n", false}, {"False", false},
      {"FALSE", false}, {"off", false},     {"\xc2\xa0off", false},
      {"1", true},      {"on", true},       {"yes", true},
      {"true", true},   {"00", true},       {"of f", true},
      {"falsey", true},
  };
  for (bool with_vorn_dir : {false, true}) {
    if (with_vorn_dir) fs::create_directories(dir_ / ".vorn" / "events");
    for (const Case& c : cases) {
      std::optional<fs::path> got = resolve_events_dir({dir_, c.value});
      if (c.on) {
        EXPECT_EQ(got, dir_ / ".vorn" / "events") << '"' << c.value << '"';
      } else {
        EXPECT_EQ(got, std::nullopt) << '"' << c.value << '"';
      }
    }
  }
}

TEST(EventsEnvCapture, ReadsVariableAndDirectory) {
  ASSERT_EQ(setenv("VORN_EVENTS", " off", 1), 0);
  EventsEnv env = EventsEnv::capture();
  EXPECT_EQ(env.events_var, " off");
  EXPECT_EQ(env.cwd, fs::current_path());

  ASSERT_EQ(setenv("VORN_EVENTS", "o\xff", 1), 0);  // not UTF-8 counts as unset
  EXPECT_EQ(EventsEnv::capture().events_var, std::nullopt);

  ASSERT_EQ(unsetenv("VORN_EVENTS"), 0);
  EXPECT_EQ(EventsEnv::capture().events_var, std::nullopt);
}

TEST(IsValidUtf8, RejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  for (const char* bad : {"\xff", "\xc3", "\xc0\x80", "\xe0\x80\x80", "\xed\xa0\x80",
                          "\xf4\x90\x80\x80", "\xe2\x82"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace vorn::events
