#include <gtest/gtest.h>

#include "support/support.h"

namespace tessel::testing {
namespace {

TEST(Smoke, ExamplesDumpToEndlib) {
  TempDir dir;
  ASSERT_EQ(runTessel({"-g"}, dir.path().string()).exitCode, 0);
  RunResult dump = runTessel({"-i", "example2.gds"}, dir.path().string());
  EXPECT_EQ(dump.exitCode, 0);
  EXPECT_EQ(dump.lines().back(), "Converting \"example2.gds\" to ASCII done.");
}

}  // namespace
}  // namespace tessel::testing
