#include <gtest/gtest.h>
#include "test_support.h"
TEST(CliSmoke, Runs) { auto r = somap::testing::run_somap({"-x","1","-y","1"}, "1\t2\n3\t4\n"); EXPECT_EQ(r.out, "0\t0\t1\t2\n0\t0\t3\t4\n"); EXPECT_EQ(r.status, 0); }
