#include <gtest/gtest.h>
#include "LogCapture.h"
TEST(LogCapture, Smoke) { LogCapture c; DMlogprint("a %d", 5); ASSERT_EQ(c.Lines().size(), 1u); EXPECT_EQ(c.Lines()[0], "a 5"); }
