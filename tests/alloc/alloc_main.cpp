#include <gtest/gtest.h>

#include "support/test_support.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  brenmoor::test::init_test_environment();
  return RUN_ALL_TESTS();
}
