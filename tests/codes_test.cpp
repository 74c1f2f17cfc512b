#include "io/codes.h"

#include <gtest/gtest.h>

namespace {

TEST(Codes, WindowsErrorsMapToCodes)
{
    // Windows error number, code
    const struct {
        std::uint32_t error;
        io::Code code;
    } cases[] = {
        {2, 2}, {3, 3}, {4, 4}, {5, 5}, {18, 18},
        {19, 150}, {21, 152}, {29, 160}, {30, 161}, {31, 162},
        {32, 5},     // sharing violation reads as access denied
        {33, 33}, {112, 112}, {206, 206}, {1921, 1921}, {65535, 65535},
        {0, 162},        // a failure without a number is still a failure
        {65536, 162},    // its low 16 bits would be 0
        {65538, 2},      // only the low 16 bits are kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(io::from_windows_error(c.error), c.code);
    }
}

TEST(Codes, ExitStatusIsTheLowByteButNeverZero)
{
    EXPECT_EQ(io::exit_status(100), 100);
    EXPECT_EQ(io::exit_status(112), 112);
    EXPECT_EQ(io::exit_status(300), 44);
    EXPECT_EQ(io::exit_status(1921), 129);
    EXPECT_EQ(io::exit_status(256), 255);
    EXPECT_EQ(io::exit_status(512), 255);
}

}  // namespace
