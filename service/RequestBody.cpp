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

std::size_t ObservedBody::read(char* buffer, std::size_t capacity)
{
    const std::size_t count = m_body.read(buffer, capacity);
    m_read += count;
    m_observer(m_read, m_body.size());
    return count;
}

void ObservedBody::rewind()
{
    m_body.rewind();
    m_read = 0;
}

} // namespace glb::service
