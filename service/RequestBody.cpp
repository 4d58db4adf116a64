#include "service/RequestBody.h"

#include <algorithm>
#include <cstring>

namespace glb::service {

std::size_t MemoryBody::read(char* buffer, std::size_t capacity)
{
    const std::size_t count = std::min(capacity, m_bytes.size() - m_offset);
    if (count > 0) {
        std::memcpy(buffer, m_bytes.data() + m_offset, count);
        m_offset += count;
    }
    return count;
}

} // namespace glb::service
