#include <gtest/gtest.h>
#include "text/UnitStrArray.h"
TEST(X, Y) {}
