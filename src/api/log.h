#ifndef VORN_API_LOG_H_
#define VORN_API_LOG_H_

#include <atomic>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace vorn::log {

// A small structured logging facade: records with a level, a target and named fields.
// The core never prints; whoever embeds it installs a Sink (the Python binding forwards
// to the `logging` module). A record whose level is disabled for its target costs one
// relaxed atomic load: nothing is formatted and no sink is called.

enum class Level : int { kTrace = 0, kDebug = 1, kInfo = 2, kWarn = 3, kError = 4, kOff = 5 };

enum class Target : int { kEngine = 0, kFlow = 1, kEvents = 2 };
inline constexpr int kTargetCount = 3;

// "vornex_core::engine", "vornex_core::flow", "vornex_core::events".
std::string_view target_name(Target t);

struct Field {
  std::string_view name;
  std::string value;
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Called only for enabled records, from any thread, with no core lock held.
  virtual void write(Target target, Level level, std::string_view message,
                     std::initializer_list<Field> fields) = 0;
};

namespace internal {
extern std::atomic<int> g_threshold[kTargetCount];
}  // namespace internal

// Installs the process-wide sink (nullptr removes it). The sink must outlive its use.
void set_sink(Sink* sink);
// Lowest level that is written for `target`; kOff disables the target.
void set_threshold(Target target, Level level);

inline bool enabled(Target target, Level level) {
  return static_cast<int>(level) >=
         internal::g_threshold[static_cast<int>(target)].load(std::memory_order_relaxed);
}

// Writes one record if its level is enabled. Build fields lazily with the macro below
// when formatting them costs anything.
void write(Target target, Level level, std::string_view message,
           std::initializer_list<Field> fields = {});

}  // namespace vorn::log

// Evaluates the field expressions only when the record is enabled.
#define VORN_LOG(target, level, message, ...)                                             \
  do {                                                                                    \
    if (::vorn::log::enabled(::vorn::log::Target::target, ::vorn::log::Level::level))     \
      ::vorn::log::write(::vorn::log::Target::target, ::vorn::log::Level::level, message, \
                         {__VA_ARGS__});                                                  \
  } while (0)

#endif  // VORN_API_LOG_H_
