#ifndef VORN_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
#define VORN_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_

#include <functional>
#include <memory>
#include <vector>

#include "engine/current_thread_runtime.h"
#include "engine/engine.h"

namespace vorn::testing {

// An effect that answers from a script (the last entry repeats) and records its calls.
class ScriptedEffect final : public Effect {
 public:
  explicit ScriptedEffect(std::vector<AttemptResult> script) : script_(std::move(script)) {}
  AttemptResult call(std::uint32_t attempt) override {
    calls.push_back(attempt);
    return script_[std::min(calls.size(), script_.size()) - 1];
  }
  std::vector<std::uint32_t> calls;

 private:
  std::vector<AttemptResult> script_;
};

inline AttemptResult fail(ErrorClass c, std::string message = "boom",
                          std::optional<std::uint16_t> status = std::nullopt) {
  AttemptResult r = AttemptResult::failure(c, std::move(message));
  r.error.http_status = status;
  return r;
}

inline Request make_request(std::string target = "api", bool idempotent = true) {
  Request r;
  r.target = std::move(target);
  r.op = "GET /x";
  r.idempotent = idempotent;
  return r;
}

// A paused runtime and an engine started on it, with no event feed.
struct EngineFixture {
  CurrentThreadRuntime rt{true};
  std::shared_ptr<Engine> engine = std::make_shared<Engine>(rt.now(), nullptr);

  void configure(const char* json) { ASSERT_TRUE(engine->configure(Json::parse(json)).ok()); }
  Outcome run(const Request& req, Effect& effect) {
    return rt.block_on(engine->execute(rt, req, effect));
  }
};

}  // namespace vorn::testing

#endif  // VORN_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
