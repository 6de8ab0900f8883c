#include "api/policy/policy.h"

namespace vorn {

namespace {

// The first layer's value of `field`, copied.
template <class T>
std::optional<T> pick(const TargetPolicy* own, const TargetPolicy* llm,
                      const TargetPolicy* outbound, std::optional<T> TargetPolicy::*field) {
  for (const TargetPolicy* layer : {own, llm, outbound}) {
    if (layer && layer->*field) return layer->*field;
  }
  return std::nullopt;
}

}  // namespace

ResolvedPolicy Policy::resolve(std::string_view target_key) const {
  const TargetPolicy* own = nullptr;
  if (auto it = target.find(std::string(target_key)); it != target.end()) own = &it->second;
  const TargetPolicy* llm =
      target_key.starts_with("llm:") && defaults.llm ? &*defaults.llm : nullptr;
  const TargetPolicy* outbound = defaults.outbound ? &*defaults.outbound : nullptr;

  ResolvedPolicy r;
  r.timeout = pick(own, llm, outbound, &TargetPolicy::timeout);
  r.retry = pick(own, llm, outbound, &TargetPolicy::retry);
  r.breaker = pick(own, llm, outbound, &TargetPolicy::breaker);
  r.rate = pick(own, llm, outbound, &TargetPolicy::rate);
  r.cache = pick(own, llm, outbound, &TargetPolicy::cache);
  if (auto idem = pick(own, llm, outbound, &TargetPolicy::idempotency))
    r.idempotency = std::move(idem->header);
  r.poll = pick(own, llm, outbound, &TargetPolicy::poll);
  return r;
}

}  // namespace vorn
