#include "archive/detail/DosTime.h"

#include <gtest/gtest.h>
#include <optional>

using glb::archive::detail::dosDateTime;
using glb::platform::LocalTime;

TEST(DosTime, PacksDateHighAndTimeLowAndRefusesWhatDosCannotHold)
{
    struct Case
    {
        std::optional<LocalTime> local;
        std::uint32_t expected;
    };
    // clang-format off
    const Case cases[] = {
        {LocalTime{2026, 12, 9, 10, 15, 37}, (((2026U - 1980U) << 9U | 12U << 5U | 9U) << 16U) | 20978U},
        {LocalTime{1980, 1, 1, 0, 0, 0},     (1U << 5U | 1U) << 16U},
        {LocalTime{2107, 12, 31, 23, 59, 59}, ((127U << 9U | 12U << 5U | 31U) << 16U) | (23U << 11U | 59U << 5U | 29U)},
        {LocalTime{1979, 12, 31, 23, 59, 59}, 0},
        {LocalTime{2108, 1, 1, 0, 0, 0},     0},
        {std::nullopt,                       0}, // the time stamp could not be read
    };
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(dosDateTime(c.local), c.expected) << (c.local ? c.local->year : 0);
    }
}
