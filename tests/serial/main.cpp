#include <gtest/gtest.h>

#include "serial/SerialEnvironment.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(&lumen::testing::SerialEnvironment::Instance());
  return RUN_ALL_TESTS();
}
