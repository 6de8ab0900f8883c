#ifndef VORN_TESTS_JOURNAL_JOURNAL_TEST_UTIL_H_
#define VORN_TESTS_JOURNAL_JOURNAL_TEST_UTIL_H_

#include "../support/raw_db.h"
#include "../support/temp_dir.h"

namespace vorn::journal::testing {

using vorn::testing::RawDb;
using vorn::testing::TempDir;

}  // namespace vorn::journal::testing

#endif  // VORN_TESTS_JOURNAL_JOURNAL_TEST_UTIL_H_
