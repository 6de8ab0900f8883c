#include "api/log.h"

#include <array>

namespace vorn::log {

namespace internal {
std::atomic<int> g_threshold[kTargetCount] = {
    static_cast<int>(Level::kOff), static_cast<int>(Level::kOff), static_cast<int>(Level::kOff)};
}  // namespace internal

namespace {
std::atomic<Sink*> g_sink{nullptr};
}  // namespace

std::string_view target_name(Target t) {
  static constexpr std::array<std::string_view, kTargetCount> kNames = {
      "vornex_core::engine", "vornex_core::flow", "vornex_core::events"};
  return kNames[static_cast<int>(t)];
}

void set_sink(Sink* sink) {
  g_sink.store(sink, std::memory_order_release);
}

void set_threshold(Target target, Level level) {
  internal::g_threshold[static_cast<int>(target)].store(static_cast<int>(level),
                                                        std::memory_order_relaxed);
}

void write(Target target, Level level, std::string_view message,
           std::initializer_list<Field> fields) {
  if (!enabled(target, level)) return;
  if (Sink* sink = g_sink.load(std::memory_order_acquire))
    sink->write(target, level, message, fields);
}

}  // namespace vorn::log
