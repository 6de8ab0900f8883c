#include "events/event_sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/json.h"
#include "api/log.h"

namespace vorn::events {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The file's lines, each checked to end with a line feed and parsed.
std::vector<Json> read_lines(const fs::path& path) {
  std::string text = slurp(path);
  std::vector<Json> lines;
  if (!text.empty()) {
    EXPECT_EQ(text.back(), '\n');
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(Json::parse(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

void expect_consecutive_seq(const std::vector<Json>& lines) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i]["seq"].get<std::uint64_t>(), i) << "line " << i;
  }
}

class RecordingLog : public log::Sink {
 public:
  struct Record {
    log::Target target;
    log::Level level;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;
  };
  void write(log::Target target, log::Level level, std::string_view message,
             std::initializer_list<log::Field> fields) override {
    std::lock_guard<std::mutex> lock(mu);
    Record r{target, level, std::string(message), {}};
    for (const log::Field& f : fields) r.fields.emplace_back(std::string(f.name), f.value);
    records.push_back(std::move(r));
  }
  std::mutex mu;
  std::vector<Record> records;
};

class EventSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vorn-event-sink-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<EventSink> open_sink(const fs::path& dir) {
    auto opened = EventSink::open(dir);
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error());
    return opened.ok() ? std::move(opened).value() : nullptr;
  }

  fs::path dir_;
};

TEST_F(EventSinkTest, StartWritesRunStartFirst) {
  fs::path path = dir_ / "feed.ndjson";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  auto started = EventSink::start(fd, "0123456789a-beef", path, 1700000000123, 4321);
  ASSERT_TRUE(started.ok());
  std::unique_ptr<EventSink> sink = std::move(started).value();
  EXPECT_EQ(sink->emit(5, BreakerClose{"t-000001", "svc"}), 1u);
  sink->flush();
  EXPECT_EQ(
      slurp(path),
      R"({"v":1,"seq":0,"ms":0,"event":"run_start","run":"0123456789a-beef","wall_ms":1700000000123,"pid":4321})"
      "\n"
      R"({"v":1,"seq":1,"ms":5,"event":"breaker_close","call":"t-000001","target":"svc"})"
      "\n");
}

TEST_F(EventSinkTest, OpenCreatesNamedFileAndFlushMakesEventsVisible) {
  fs::path events = dir_ / "a" / "b" / "events";
  std::unique_ptr<EventSink> sink = open_sink(events);
  ASSERT_NE(sink, nullptr);
  EXPECT_TRUE(fs::is_directory(events));
  EXPECT_EQ(sink->path(), events / (sink->run() + ".ndjson"));
  EXPECT_TRUE(std::regex_match(sink->path().filename().string(),
                               std::regex("[0-9a-f]{11,}-[0-9a-f]{4}\\.ndjson")));

  for (std::uint32_t i = 1; i <= 100; ++i) {
    EXPECT_EQ(sink->emit(i * 10, AttemptStart{"t-000001", "svc", i}), i);
  }
  sink->flush();

  std::vector<Json> lines = read_lines(sink->path());
  ASSERT_EQ(lines.size(), 101u);
  expect_consecutive_seq(lines);
  EXPECT_EQ(lines[0]["event"], "run_start");
  EXPECT_EQ(lines[0]["ms"], 0);
  EXPECT_EQ(lines[0]["run"], sink->run());
  EXPECT_EQ(lines[0]["pid"], static_cast<std::uint32_t>(getpid()));
  EXPECT_TRUE(lines[0].contains("wall_ms"));
  EXPECT_EQ(lines[100]["ms"], 1000);
  EXPECT_EQ(lines[100]["attempt"], 100);
}

int threads_named(const std::string& name) {
  int n = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    if (slurp(task.path() / "comm") == name + "\n") ++n;
  }
  return n;
}

TEST_F(EventSinkTest, WriterThreadIsNamedAndJoinedOnDrop) {
  std::unique_ptr<EventSink> sink = open_sink(dir_);
  ASSERT_NE(sink, nullptr);
  sink->flush();  // the writer has named itself by the time it answers
  EXPECT_EQ(threads_named("vorn-events"), 1);
  sink.reset();
  EXPECT_EQ(threads_named("vorn-events"), 0);
}

TEST_F(EventSinkTest, DroppingTheSinkDrainsEverythingQueued) {
  constexpr std::uint64_t kEvents = 50000;
  fs::path path;
  {
    std::unique_ptr<EventSink> sink = open_sink(dir_);
    ASSERT_NE(sink, nullptr);
    path = sink->path();
    for (std::uint64_t i = 1; i <= kEvents; ++i) {
      sink->emit(i, CallStart{"t-000001", "a-somewhat-longer-target.example.com", "GET"});
    }
  }
  std::vector<Json> lines = read_lines(path);
  ASSERT_EQ(lines.size(), kEvents + 1);
  expect_consecutive_seq(lines);
}

TEST_F(EventSinkTest, TwoSinksWriteTwoFiles) {
  std::unique_ptr<EventSink> a = open_sink(dir_);
  std::unique_ptr<EventSink> b = open_sink(dir_);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a->path(), b->path());
  EXPECT_EQ(a->emit(1, BreakerReject{"t-000001", "a"}), 1u);
  EXPECT_EQ(b->emit(1, BreakerReject{"t-000001", "b"}), 1u);
  a->flush();
  b->flush();
  for (EventSink* s : {a.get(), b.get()}) {
    std::vector<Json> lines = read_lines(s->path());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "run_start");
    EXPECT_EQ(lines[0]["seq"], 0);
    EXPECT_EQ(lines[0]["run"], s->run());
  }
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 2u);
}

TEST_F(EventSinkTest, ConcurrentEmittersGetFileOrderedSequence) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::unique_ptr<EventSink> sink = open_sink(dir_);
  ASSERT_NE(sink, nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&sink, t] {
      for (int i = 0; i < kPerThread; ++i) {
        sink->emit(static_cast<std::uint64_t>(i),
                   Backoff{"t-" + std::to_string(t), "svc", static_cast<std::uint32_t>(i), 1});
      }
    });
  }
  for (std::thread& th : threads) th.join();
  sink->flush();
  std::vector<Json> lines = read_lines(sink->path());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread + 1));
  expect_consecutive_seq(lines);
  // Each emitter's own events keep their order.
  std::vector<std::uint32_t> next(kThreads, 0);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    int t = std::stoi(lines[i]["call"].get<std::string>().substr(2));
    EXPECT_EQ(lines[i]["attempt"].get<std::uint32_t>(), next[t]++);
  }
}

TEST_F(EventSinkTest, UnopenableDirectoryLogsAndLeavesTheFeedOff) {
  std::ofstream(dir_ / ".vorn").put('x');
  EXPECT_FALSE(EventSink::open(dir_ / ".vorn" / "events").ok());

  RecordingLog recorder;
  log::set_sink(&recorder);
  log::set_threshold(log::Target::kEvents, log::Level::kWarn);
  std::unique_ptr<EventSink> sink = EventSink::from_env(EventsEnv{dir_, "1"});
  log::set_threshold(log::Target::kEvents, log::Level::kOff);
  log::set_sink(nullptr);

  EXPECT_EQ(sink, nullptr);
  ASSERT_EQ(recorder.records.size(), 1u);
  const RecordingLog::Record& r = recorder.records[0];
  EXPECT_EQ(r.target, log::Target::kEvents);
  EXPECT_EQ(r.level, log::Level::kWarn);
  EXPECT_EQ(r.message, "event sink unavailable; live events disabled");
  ASSERT_EQ(r.fields.size(), 2u);
  EXPECT_EQ(r.fields[0].first, "dir");
  EXPECT_EQ(r.fields[0].second, (dir_ / ".vorn" / "events").string());
  EXPECT_EQ(r.fields[1].first, "error");
  EXPECT_NE(r.fields[1].second.find("os error"), std::string::npos);
}

TEST_F(EventSinkTest, FromEnvHonoursTheSwitch) {
  EXPECT_EQ(EventSink::from_env(EventsEnv{dir_, std::nullopt}), nullptr);
  EXPECT_EQ(EventSink::from_env(EventsEnv{dir_, "off"}), nullptr);
  EXPECT_FALSE(fs::exists(dir_ / ".vorn"));

  std::unique_ptr<EventSink> sink = EventSink::from_env(EventsEnv{dir_, "yes"});
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->path().parent_path(), dir_ / ".vorn" / "events");
  sink.reset();

  sink = EventSink::from_env(EventsEnv{dir_, std::nullopt});  // .vorn exists now
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->path().parent_path(), dir_ / ".vorn" / "events");
}

}  // namespace
}  // namespace vorn::events
