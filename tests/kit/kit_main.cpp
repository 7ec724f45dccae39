// main() of every test program: isolated before the first test, as the tests
// run one per process under CTest.
#include "kit.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) kit_isolate();
    return RUN_ALL_TESTS();
}
