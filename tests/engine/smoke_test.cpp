#include <gtest/gtest.h>

#include "platform/linux/errors.h"

TEST(ErrorCodes, KnownValues) {
  EXPECT_EQ(ERR_NONE, 0);
  EXPECT_EQ(ERR_MEM, 1000);
  EXPECT_EQ(ERR_NUMBEREXPECTED, 1629);
}
