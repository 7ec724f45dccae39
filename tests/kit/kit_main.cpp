// Isolated before the first test: CTest runs one test a process.
#include "kit.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) kit_isolate();
    return RUN_ALL_TESTS();
}
