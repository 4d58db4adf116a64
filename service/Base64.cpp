#include "service/Base64.h"

#include "common/Error.h"
#include "common/Platform.h"

#include <limits>
#include <stdexcept>
#include <vector>

namespace glb::service {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLine = 76;

} // namespace

std::size_t base64TextLength(std::uint64_t size)
{
    const std::uint64_t chars = (size + 2) / 3 * 4;
    const std::uint64_t total = chars + chars / kLine * 2;
    if (size > std::numeric_limits<std::uint64_t>::max() / 2 || total > std::numeric_limits<std::size_t>::max())
        throw std::length_error("Base64 text too long");
    return static_cast<std::size_t>(total);
}

std::string encodeBase64(std::string_view bytes)
{
    std::string text;
    text.reserve(base64TextLength(bytes.size()));
    Base64Writer writer(text);
    writer.write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    writer.finish();
    return text;
}

void encodeFileBase64(const std::filesystem::path& path, const std::function<void(std::string_view)>& piece)
{
    int code = 0;
    platform::File file =
        platform::File::open(path, platform::OpenMode::ReadNoLink, platform::Sharing::ReadersOnly, code);
    if (!file.isOpen())
        throw EFOpenError::forPath(path, code);

    // A multiple of 3 and of 57, so every piece but the last is whole lines.
    std::vector<unsigned char> buffer(std::size_t{57} * 1150);
    std::string text;
    text.reserve(base64TextLength(buffer.size()) + 4);
    Base64Writer writer(text);
    for (;;) {
        const std::ptrdiff_t got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            throw EReadError::forFile(path, platform::lastErrorCode());
        if (got == 0)
            break;
        writer.write(buffer.data(), static_cast<std::size_t>(got));
        if (!text.empty()) {
            piece(text);
            text.clear();
        }
    }
    writer.finish();
    if (!text.empty())
        piece(text);
}

void Base64Writer::write(const unsigned char* data, std::size_t size)
{
    // Complete a group left over from the previous piece.
    if (m_pendingCount > 0) {
        while (m_pendingCount < 3 && size > 0) {
            m_pending[m_pendingCount++] = *data++;
            --size;
        }
        if (m_pendingCount < 3)
            return;
        m_pendingCount = 0;
        writeGroups(m_pending, 1);
    }
    const std::size_t groups = size / 3;
    writeGroups(data, groups);
    m_pendingCount = size - groups * 3;
    for (std::size_t i = 0; i < m_pendingCount; ++i)
        m_pending[i] = data[groups * 3 + i];
}

void Base64Writer::writeGroups(const unsigned char* p, std::size_t groups)
{
    const std::size_t chars = groups * 4;
    // The column is always a multiple of 4, so breaks fall between groups.
    const std::size_t breaks = (m_column + chars) / kLine;
    const std::size_t start = m_out.size();
    m_out.resize(start + chars + breaks * 2);
    char* o = m_out.data() + start;
    std::size_t column = m_column;
    for (std::size_t g = 0; g < groups; ++g, p += 3) {
        const unsigned v = (unsigned{p[0]} << 16U) | (unsigned{p[1]} << 8U) | unsigned{p[2]};
        o[0] = kAlphabet[(v >> 18U) & 0x3FU];
        o[1] = kAlphabet[(v >> 12U) & 0x3FU];
        o[2] = kAlphabet[(v >> 6U) & 0x3FU];
        o[3] = kAlphabet[v & 0x3FU];
        o += 4;
        column += 4;
        if (column == kLine) {
            o[0] = '\r';
            o[1] = '\n';
            o += 2;
            column = 0;
        }
    }
    m_column = column;
}

void Base64Writer::finish()
{
    if (m_pendingCount == 0)
        return;
    const unsigned v = (unsigned{m_pending[0]} << 16U) | (m_pendingCount == 2 ? unsigned{m_pending[1]} << 8U : 0U);
    char group[4] = {kAlphabet[(v >> 18U) & 0x3FU], kAlphabet[(v >> 12U) & 0x3FU],
                     m_pendingCount == 2 ? kAlphabet[(v >> 6U) & 0x3FU] : '=', '='};
    m_out.append(group, 4);
    m_column += 4;
    if (m_column == kLine) {
        m_out.append("\r\n", 2);
        m_column = 0;
    }
    m_pendingCount = 0;
}

} // namespace glb::service
