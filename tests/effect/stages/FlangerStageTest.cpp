#include <gtest/gtest.h>

// Tests of the Flanger stage are written with the stage.
TEST(FlangerStageTest, Pending) { GTEST_SKIP() << "stage not built yet"; }
