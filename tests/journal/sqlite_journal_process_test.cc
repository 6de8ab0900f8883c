#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "journal/clock.h"
#include "journal/sqlite_journal.h"
#include "journal_test_util.h"

namespace vorn::journal {
namespace {

using ::vorn::journal::testing::RawDb;
using ::vorn::journal::testing::TempDir;
using Strings = std::vector<std::string>;

// Forks `n` children that all start `body(i)` at once (released together by closing a
// pipe) and returns their exit codes. The parent must hold no SQLite connection.
std::vector<int> race(int n, const std::function<int(int)>& body) {
  int gate[2];
  if (pipe(gate) != 0) return {};
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char c;
      while (read(gate[0], &c, 1) > 0) {
      }
      std::fflush(nullptr);
      _exit(body(i));
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::vector<int> codes;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return codes;
}

constexpr int kProcesses = 6;

TEST(SqliteJournalProcessTest, ConcurrentFirstOpensCreateTheSchemaOnce) {
  TempDir dir;
  const auto path = dir.path() / "journal.db";
  auto codes = race(kProcesses, [&](int i) {
    auto j = SqliteJournal::open(path, std::make_shared<ManualClock>(1000));
    if (!j.ok()) {
      std::fprintf(stderr, "open failed: %s\n", j.error().text().c_str());
      return 1;
    }
    auto id = (*j)->begin_flow(NewFlow{"f" + std::to_string(i), "py:m:main", "h", std::nullopt});
    return id.ok() ? 0 : 2;
  });
  EXPECT_EQ(codes, std::vector<int>(kProcesses, 0));
  RawDb raw(path);
  EXPECT_EQ(raw.rows("SELECT count(*) FROM vorn_meta"), (Strings{"1"}));
  EXPECT_EQ(raw.rows("SELECT count(*) FROM sqlite_master WHERE name = 'flows'"), (Strings{"1"}));
  EXPECT_EQ(raw.rows("SELECT count(*) FROM flows"), (Strings{std::to_string(kProcesses)}));
}

TEST(SqliteJournalProcessTest, ExactlyOneProcessWinsALeaseRace) {
  TempDir dir;
  const auto path = dir.path() / "journal.db";
  {
    auto j = SqliteJournal::open(path, std::make_shared<ManualClock>(1000));
    ASSERT_TRUE(j.ok());
    ASSERT_TRUE((*j)->begin_flow(NewFlow{"f", "py:m:main", "h", std::nullopt}).ok());
  }
  auto codes = race(kProcesses, [&](int i) {
    auto j = SqliteJournal::open(path, std::make_shared<ManualClock>(1000));
    if (!j.ok()) return 2;
    auto won = (*j)->acquire_lease("f", "pid-" + std::to_string(i), 30000);
    if (!won.ok()) {
      std::fprintf(stderr, "acquire_lease failed: %s\n", won.error().text().c_str());
      return 2;
    }
    return *won ? 0 : 1;
  });
  ASSERT_EQ(codes.size(), std::size_t{kProcesses});
  int winners = 0;
  for (int code : codes) {
    EXPECT_TRUE(code == 0 || code == 1) << code;
    winners += code == 0;
  }
  EXPECT_EQ(winners, 1);
  RawDb raw(path);
  auto holder = raw.rows("SELECT lease_holder, lease_expires FROM flows");
  ASSERT_EQ(holder.size(), 1u);
  for (int i = 0; i < kProcesses; ++i) {
    if (codes[i] == 0) {
      EXPECT_EQ(holder[0], "pid-" + std::to_string(i) + "|31000");
    }
  }
}

}  // namespace
}  // namespace vorn::journal
