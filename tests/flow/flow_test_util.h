#ifndef VORN_TESTS_FLOW_FLOW_TEST_UTIL_H_
#define VORN_TESTS_FLOW_FLOW_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../support/raw_db.h"
#include "../support/temp_dir.h"
#include "api/log.h"
#include "api/records.h"
#include "engine/current_thread_runtime.h"
#include "engine/effect.h"
#include "engine/engine.h"
#include "events/event_sink.h"
#include "flow/flow_handle.h"
#include "flow/flow_manager.h"
#include "flow/heartbeat.h"
#include "journal/clock.h"
#include "journal/sqlite_journal.h"

namespace vorn::flow::testing {

inline constexpr std::int64_t kT0 = 1'700'000'000'000;
inline constexpr std::uint64_t kLease = 30'000;

using vorn::testing::RawDb;
using vorn::testing::TempDir;

// A monotonic clock that moves only when told to.
class FakeMonotonic {
 public:
  MonotonicNow now_fn() {
    return [this] { return MonotonicInstant(std::chrono::milliseconds(ms_.load())); };
  }
  void advance(std::int64_t ms) { ms_ += ms; }

 private:
  std::atomic<std::int64_t> ms_{1'000'000};
};

// An effect that counts its calls and answers from a script (the last entry repeats).
class ScriptedEffect final : public Effect {
 public:
  explicit ScriptedEffect(std::vector<AttemptResult> script = {AttemptResult::success(Json{
                              {"ok", true}})})
      : script_(std::move(script)) {}

  AttemptResult call(std::uint32_t /*attempt*/) override {
    ++calls;
    if (on_call) on_call();
    return script_[std::min<std::size_t>(calls - 1, script_.size() - 1)];
  }

  int calls = 0;
  std::function<void()> on_call;  // runs inside each attempt

 private:
  std::vector<AttemptResult> script_;
};

// A runtime whose effect attempts suspend the calling coroutine until finish() runs
// them, as an asynchronous runtime would; sleeps complete at once.
class SuspendingRuntime final : public Runtime {
 public:
  Instant now() const override { return now_; }
  bool sleep_inline(std::uint64_t) override { return true; }
  void resume_after(std::uint64_t, std::coroutine_handle<> h) override { h.resume(); }
  bool attempt_inline(Effect&, std::uint32_t, std::optional<Instant>,
                      std::optional<AttemptResult>*) override {
    return false;
  }
  void attempt_then_resume(Effect& effect, std::uint32_t attempt, std::optional<Instant>,
                           std::optional<AttemptResult>* out,
                           std::coroutine_handle<> resume_later) override {
    pending_ = [&effect, attempt, out, resume_later] {
      out->emplace(effect.call(attempt));
      resume_later.resume();
    };
  }
  bool pending() const { return static_cast<bool>(pending_); }
  // Runs the suspended attempt and resumes its caller.
  void finish() { std::exchange(pending_, nullptr)(); }

 private:
  Instant now_ = Clock::now();
  std::function<void()> pending_;
};

// Captures the flow's log records, from any thread, while it lives.
class LogCapture final : public log::Sink {
 public:
  struct Record {
    log::Level level;
    std::string message;
    std::map<std::string, std::string> fields;
  };

  LogCapture() {
    log::set_threshold(log::Target::kFlow, log::Level::kDebug);
    log::set_sink(this);
  }
  ~LogCapture() override {
    log::set_sink(nullptr);
    log::set_threshold(log::Target::kFlow, log::Level::kOff);
  }

  void write(log::Target target, log::Level level, std::string_view message,
             std::initializer_list<log::Field> fields) override {
    if (target != log::Target::kFlow) return;
    Record record{level, std::string(message), {}};
    for (const log::Field& f : fields) record.fields[std::string(f.name)] = f.value;
    std::lock_guard lock(mu_);
    records_.push_back(std::move(record));
  }

  // The records with this message.
  std::vector<Record> with_message(std::string_view message) const {
    std::lock_guard lock(mu_);
    std::vector<Record> out;
    for (const Record& r : records_) {
      if (r.message == message) out.push_back(r);
    }
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<Record> records_;  // guarded by mu_
};

inline Request request(std::string target, std::optional<std::string> args_hash = std::nullopt,
                       bool idempotent = false) {
  Request r;
  r.target = std::move(target);
  r.op = "call";
  r.idempotent = idempotent;
  r.args_hash = std::move(args_hash);
  return r;
}

// The threads of this process that carry the heartbeat's name.
inline int heartbeat_threads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == kHeartbeatThreadName.substr(0, 15)) ++count;
  }
  return count;
}

// A real SQLite journal in a temp dir on a manual wall clock, a paused runtime, a real
// engine and a fake monotonic clock for the lease monitors.
class FlowTest : public ::testing::Test {
 public:
  FlowTest() {
    auto opened = journal::SqliteJournal::open(dir_.path() / "journal.db", clock_);
    EXPECT_TRUE(opened.ok());
    if (opened.ok()) journal_ = std::move(opened).value();
  }

  FlowManager manager(std::string holder = "pid-1", std::uint64_t lease = kLease) {
    return FlowManager{std::move(holder), lease, 3, engine_, journal_, clock_, monotonic_.now_fn()};
  }

  static FlowDescriptor descriptor(std::optional<std::string> code_hash = std::nullopt) {
    return FlowDescriptor{"py:app:main", "a1", std::nullopt, std::move(code_hash)};
  }
  static constexpr char kFlowId[] = "py:app:main#a1#";

  // Enters the default flow, failing the test on an error.
  std::unique_ptr<FlowHandle> enter(const FlowManager& m, const FlowDescriptor& d = descriptor()) {
    auto handle = m.enter_flow(d);
    EXPECT_TRUE(handle.ok()) << (handle.ok() ? "" : handle.error().message);
    return handle.ok() ? std::move(handle).value() : nullptr;
  }
  std::unique_ptr<FlowHandle> enter() { return enter(manager()); }

  StepResult step(FlowHandle& handle, const Request& req, Effect& effect,
                  std::optional<std::string> idempotency_key = std::nullopt) {
    return rt_.block_on(
        handle.execute_step_with_idempotency_key(rt_, req, effect, std::move(idempotency_key)));
  }

  void configure(const std::string& on_nondeterminism) {
    ASSERT_TRUE(engine_->configure(Json{{"flows", {{"on_nondeterminism", on_nondeterminism}}}}));
  }

  journal::FlowDescriptor flow_row(const std::string& flow_id = kFlowId) {
    auto row = journal_->get_flow(flow_id);
    EXPECT_TRUE(row.ok() && row->has_value());
    return row.ok() && *row ? **row : journal::FlowDescriptor{};
  }

  std::optional<journal::KeyedStep> step_at(std::uint64_t seq,
                                            const std::string& flow_id = kFlowId) {
    auto step = journal_->step_at(flow_id, seq);
    EXPECT_TRUE(step.ok());
    return step.ok() ? *step : std::nullopt;
  }

  // "seq|step_key|kind|outcome" for every step of the flow, by seq.
  std::vector<std::string> step_rows(const std::string& flow_id = kFlowId) {
    return query("SELECT seq, step_key, kind, outcome FROM steps WHERE flow_id = '" + flow_id +
                 "' ORDER BY seq");
  }

  // Every row of `sql` on a separate connection, columns joined by '|'.
  std::vector<std::string> query(const std::string& sql) {
    return RawDb(dir_.path() / "journal.db").rows(sql);
  }

  void exec(const std::string& sql) { RawDb(dir_.path() / "journal.db").exec(sql); }

  TempDir dir_;
  std::shared_ptr<journal::ManualClock> clock_ = std::make_shared<journal::ManualClock>(kT0);
  std::shared_ptr<journal::SqliteJournal> journal_;
  CurrentThreadRuntime rt_{true};
  std::shared_ptr<Engine> engine_ = std::make_shared<Engine>(rt_.now(), nullptr);
  FakeMonotonic monotonic_;
};

}  // namespace vorn::flow::testing

#endif  // VORN_TESTS_FLOW_FLOW_TEST_UTIL_H_
