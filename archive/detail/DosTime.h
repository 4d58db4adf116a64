#pragma once

#include "common/Platform.h"

#include <cstdint>
#include <optional>

namespace glb::archive::detail {

/// The DOS date and time of a local time as ZIP stores it: the time word (hour * 2048 +
/// minute * 32 + second / 2) in the low 16 bits, the date word ((year - 1980) * 512 +
/// month * 32 + day) in the high 16 bits. A year outside 1980..2107, which the 7-bit
/// year field cannot hold, or a time that could not be read gives 0.
constexpr std::uint32_t dosDateTime(const std::optional<platform::LocalTime>& local) noexcept
{
    if (!local || local->year < 1980 || local->year > 2107) {
        return 0;
    }
    const auto time = static_cast<std::uint32_t>(local->hour * 2048 + local->minute * 32 + local->second / 2);
    const auto date = static_cast<std::uint32_t>((local->year - 1980) * 512 + local->month * 32 + local->day);
    return (date << 16U) | time;
}

} // namespace glb::archive::detail
