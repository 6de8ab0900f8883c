#ifndef VORN_TESTS_SUPPORT_RAW_DB_H_
#define VORN_TESTS_SUPPORT_RAW_DB_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vorn::testing {

// A separate plain connection to a journal file, for inspecting or tampering with it.
class RawDb {
 public:
  explicit RawDb(const std::filesystem::path& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
  }
  ~RawDb() { sqlite3_close(db_); }

  void exec(const std::string& sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    EXPECT_EQ(rc, SQLITE_OK) << sql << ": " << (err != nullptr ? err : "");
    sqlite3_free(err);
  }

  // Every row of the query, columns joined by '|', NULL as "NULL".
  std::vector<std::string> rows(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (i > 0) row += '|';
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row += text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
      }
      out.push_back(row);
    }
    sqlite3_finalize(stmt);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace vorn::testing

#endif  // VORN_TESTS_SUPPORT_RAW_DB_H_
