// Emission cost and writer throughput of the live event feed.

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "events/event_sink.h"
#include "events/ndjson.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn::events::EventSink;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::unique_ptr<EventSink> open_sink(const std::filesystem::path& dir) {
  auto opened = EventSink::open(dir);
  if (!opened.ok()) {
    std::fprintf(stderr, "cannot open sink: %s\n", opened.error().c_str());
    std::exit(1);
  }
  return std::move(opened).value();
}

void emit_some(EventSink& sink, std::uint64_t n, const std::string& target) {
  for (std::uint64_t i = 0; i < n; ++i) {
    sink.emit(i, vorn::events::AttemptStart{"t-000001", target, static_cast<std::uint32_t>(i)});
  }
}

// Emits `total` events from `threads` threads; prints the emit cost and the time until
// everything is on disk.
void run(const std::filesystem::path& dir, int threads, std::uint64_t total) {
  const std::string target = "api.some-service.example.com";
  std::unique_ptr<EventSink> sink = open_sink(dir);
  std::uint64_t per_thread = total / static_cast<std::uint64_t>(threads);
  Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] { emit_some(*sink, per_thread, target); });
  }
  for (std::thread& w : workers) w.join();
  double emit_s = seconds_since(start);
  sink->flush();
  double total_s = seconds_since(start);
  std::uint64_t events = per_thread * static_cast<std::uint64_t>(threads);
  std::uintmax_t bytes = std::filesystem::file_size(sink->path());
  std::printf("emit, %d thread(s): %.1f ns/event per thread, %.1f ns/event wall (%llu events)\n",
              threads, emit_s * 1e9 * threads / static_cast<double>(events),
              emit_s * 1e9 / static_cast<double>(events), static_cast<unsigned long long>(events));
  std::printf("writer, %d thread(s) emitting: %.0f events/s to disk, %.1f MB/s (%.3f s total)\n",
              threads, static_cast<double>(events) / total_s,
              static_cast<double>(bytes) / total_s / 1e6, total_s);
}

void encode_only(std::uint64_t n) {
  vorn::events::Event ev{1, 0, 0,
                         vorn::events::CallEnd{"t-000001", "api.some-service.example.com", "error",
                                               vorn::ErrorCode::kE010, 3}};
  std::string line;
  std::size_t bytes = 0;
  Clock::time_point start = Clock::now();
  for (std::uint64_t i = 0; i < n; ++i) {
    ev.seq = i;
    ev.ms = i;
    line.clear();
    vorn::events::append_event_line(line, ev);
    bytes += line.size();
  }
  double s = seconds_since(start);
  std::printf("encode call_end line: %.1f ns/line (%zu bytes total)\n",
              s * 1e9 / static_cast<double>(n), bytes);
}

}  // namespace

int main() {
  char tmpl[] = "/tmp/vorn-events-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  std::filesystem::path dir = tmpl;
  constexpr std::uint64_t kEvents = 1'000'000;
  encode_only(kEvents);
  run(dir, 1, kEvents);
  run(dir, 2, kEvents);
  std::filesystem::remove_all(dir);
  return 0;
}
