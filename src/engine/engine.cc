#include "engine/engine.h"

#include <cassert>

#include "api/log.h"
#include "api/policy/layer_reader.h"
#include "api/policy/policy_reader.h"
#include "engine/call.h"
#include "engine/current_thread_runtime.h"
#include "events/event_sink.h"
#include "journal/journal.h"

namespace vorn {

Engine::Engine(Instant start, std::unique_ptr<events::EventSink> sink)
    : start_(start), sink_(std::move(sink)) {}

Engine::~Engine() = default;

std::uint64_t Engine::elapsed_ms(Instant now) const {
  return whole_ms_between(start_, now);
}

Status<VornError> Engine::configure(const Json& document) {
  auto policy = read_policy(document);
  if (!policy.ok()) return std::move(policy).error();
  for (const std::string& warning : policy->inert_breaker_warnings()) {
    VORN_LOG(kEngine, kWarn, warning);
  }
  {
    std::unique_lock lock(policy_mu_);
    policy_ = std::move(policy).value();
  }
  {
    std::unique_lock lock(raw_mu_);
    raw_policy_ = document;
  }
  return {};
}

std::optional<Json> Engine::layer(std::string_view target, std::string_view key) const {
  std::shared_lock lock(raw_mu_);
  return layer_lookup(raw_policy_, target, key);
}

std::string Engine::resolve_target(std::optional<std::string_view> method, std::string_view host,
                                   std::optional<std::string_view> scheme,
                                   std::optional<std::uint16_t> port,
                                   std::optional<std::string_view> path) const {
  std::shared_lock lock(policy_mu_);
  return policy_.resolve_target(method, host, scheme, port, path);
}

std::vector<std::pair<std::string, std::string>> Engine::known_llm_hosts() {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [host, provider] : Policy::known_llm_hosts()) {
    out.emplace_back(std::string(host), std::string(provider));
  }
  return out;
}

NondeterminismResponse Engine::nondeterminism_response() const {
  std::shared_lock lock(policy_mu_);
  return policy_.nondeterminism_response();
}

void Engine::attach_journal(std::shared_ptr<journal::Journal> journal) {
  std::unique_lock lock(journal_mu_);
  journal_ = std::move(journal);
}

std::shared_ptr<journal::Journal> Engine::journal() const {
  std::shared_lock lock(journal_mu_);
  return journal_;
}

Json Engine::report(Instant now) const {
  Json targets = Json::object();
  {
    std::lock_guard lock(state_mu_);
    for (const auto& [target, m] : state_.metrics) {
      auto b = state_.breakers.find(target);
      const std::uint64_t opens = b == state_.breakers.end() ? 0 : b->second.opens;
      // Members of a JSON object are kept in ascending key order, which is the report's
      // published order.
      targets[target] =
          Json{{"attempts", m.attempts},
               {"breaker_opens", opens},
               {"breaker_state", breaker_state_text(state_.breaker_state(target, now))},
               {"cache_hits", m.cache_hits},
               {"calls", m.calls},
               {"failures", m.failures},
               {"retries", m.retries},
               {"successes", m.successes},
               {"throttled", m.throttled}};
    }
  }
  return Json{{"v", 1}, {"clock_ms", elapsed_ms(now)}, {"targets", std::move(targets)}};
}

}  // namespace vorn
