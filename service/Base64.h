#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace glb::service {

/// The Base64 text form of an uploaded file: RFC 4648 alphabet with "=" completion, and
/// CR LF after every 76th character counted over the whole text (so a text whose length is
/// a multiple of 76 ends with CR LF). Empty input gives empty text.

/// Length of the text form of `size` bytes, line breaks included.
std::size_t base64TextLength(std::uint64_t size);

/// The text form of `bytes`.
std::string encodeBase64(std::string_view bytes);

/// Streams the text form of the file's whole content to `piece`, in pieces of bounded
/// size. The file is open for reading with other readers allowed and no writer: one that
/// cannot be opened raises "Cannot open file "%s". %s"; a failed read "Stream read error on
/// file "%s". %s".
void encodeFileBase64(const std::filesystem::path& path, const std::function<void(std::string_view)>& piece);

/// Appends the text form of a byte stream given in pieces of any size to `out`; the text
/// equals that of the whole stream encoded at once.
class Base64Writer
{
public:
    explicit Base64Writer(std::string& out) noexcept
        : m_out(out)
    {
    }

    void write(const unsigned char* data, std::size_t size);
    /// Writes the last, incomplete group with its "=" completion.
    void finish();

private:
    void writeGroups(const unsigned char* data, std::size_t groups);

    std::string& m_out;
    unsigned char m_pending[3] = {0, 0, 0};
    std::size_t m_pendingCount = 0;
    std::size_t m_column = 0; ///< characters since the last line break
};

} // namespace glb::service
