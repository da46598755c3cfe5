// main() for test programs whose code reads the registry or logs: the whole process runs in an
// isolated environment, set up before any test (and so before any logger) exists.
#include <gtest/gtest.h>

#include "tests/support/environment/isolated_environment.h"

int main(int argc, char** argv) {
  Talvaro::Testing::IsolatedEnvironment environment;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
