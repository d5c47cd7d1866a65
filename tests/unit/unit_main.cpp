// Entry for every unit-test program: the program's heap is set up as
// ProgramEntry would before running the tests.
#include <gtest/gtest.h>
#include "base/memory.h"

int main(int argc, char** argv)
{
    processHeap = GetProcessHeap();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
