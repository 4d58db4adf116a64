#pragma once

// Reads a fuzz input as a sequence of fields. Every read succeeds: past the end a field is
// zero or empty, so any bytes are a valid input and a short one just has fewer parts.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace glb::fuzz {

class FuzzInput
{
public:
    FuzzInput(const std::uint8_t* data, std::size_t size)
        : m_bytes(reinterpret_cast<const char*>(data), size)
    {
    }

    bool empty() const noexcept { return m_bytes.empty(); }

    std::uint8_t byte()
    {
        if (m_bytes.empty())
            return 0;
        const auto value = static_cast<std::uint8_t>(m_bytes.front());
        m_bytes.remove_prefix(1);
        return value;
    }

    /// Two bytes, low byte first.
    std::uint16_t word()
    {
        const std::uint8_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8U);
    }

    /// A field of up to 255 bytes, its length in one byte before it.
    std::string_view shortText() { return take(byte()); }
    /// A field of up to 65535 bytes, its length in two bytes before it.
    std::string_view longText() { return take(word()); }
    /// Everything not read yet.
    std::string_view rest()
    {
        const std::string_view all = m_bytes;
        m_bytes = {};
        return all;
    }

private:
    std::string_view take(std::size_t length)
    {
        const std::string_view part = m_bytes.substr(0, length);
        m_bytes.remove_prefix(part.size());
        return part;
    }

    std::string_view m_bytes;
};

} // namespace glb::fuzz
