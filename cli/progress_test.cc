#include "cli/progress.h"

#include <gtest/gtest.h>

namespace infodiv {
namespace {

TEST(ProgressTest, LineShowsCountsRateAndTimeLeft) {
  EXPECT_EQ(progress_text("triples", 0, 4960, 0), "triples  0/4960  0%");
  EXPECT_EQ(progress_text("triples", 1240, 4960, 2.0), "triples  1240/4960  25%  620/s  0:06 left");
  EXPECT_EQ(progress_text("columns", 3000000, 6000000, 1.0), "columns  3000000/6000000  50%  3.0M/s  0:01 left");
}

}  // namespace
}  // namespace infodiv
