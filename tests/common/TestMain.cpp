#include <gtest/gtest.h>

// The project links with -municode, so test programs start at wmain like the product starts at wWinMain.
int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
