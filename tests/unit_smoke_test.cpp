#include <gtest/gtest.h>
#include "som/som.h"
TEST(Smoke, Creates) { som_network *n = som_network_new(2, 3, 3); ASSERT_NE(n, nullptr); som_network_destroy(n); }
