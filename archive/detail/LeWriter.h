#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace glb::archive::detail {

/// Lays out little-endian integers into a fixed-size record, as ZIP
/// stores them on disk whatever the host's byte order.
template <std::size_t N> class LeWriter
{
public:
    LeWriter& u16(std::uint16_t value) noexcept
    {
        put(static_cast<unsigned char>(value & 0xFFU));
        put(static_cast<unsigned char>(value >> 8U));
        return *this;
    }

    LeWriter& u32(std::uint32_t value) noexcept
    {
        u16(static_cast<std::uint16_t>(value & 0xFFFFU));
        u16(static_cast<std::uint16_t>(value >> 16U));
        return *this;
    }

    const unsigned char* data() const noexcept { return m_bytes.data(); }
    /// Bytes laid out so far; a full record has exactly N.
    std::size_t size() const noexcept { return m_size; }

private:
    void put(unsigned char byte) noexcept
    {
        // The record sizes are fixed by the format; writing past one is a programming error.
        if (m_size < N) {
            m_bytes[m_size++] = byte;
        }
    }

    std::array<unsigned char, N> m_bytes{};
    std::size_t m_size = 0;
};

} // namespace glb::archive::detail
