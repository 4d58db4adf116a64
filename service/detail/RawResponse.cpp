#include "service/detail/RawResponse.h"

#include "common/AsciiText.h"

#include <cstdint>
#include <limits>

namespace glb::service::detail {

namespace {

/// The next line of `bytes` from `pos` without its end (CR LF or a bare LF), moving `pos`
/// past it; std::nullopt when no line end follows.
std::optional<std::string_view> nextLine(std::string_view bytes, std::size_t& pos)
{
    const std::size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = bytes.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    pos = end + 1;
    return line;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/// A Content-Length value: decimal digits only, within 64 bits.
std::optional<std::uint64_t> contentLength(std::string_view value)
{
    value = trimmedBlanks(value);
    if (value.empty()) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    for (const char c : value) {
        if (!isDigit(c)) {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (length > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return std::nullopt;
        }
        length = length * 10 + digit;
    }
    return length;
}

} // namespace

std::optional<RawResponse> readWholeResponse(std::string_view bytes)
{
    std::size_t pos = 0;
    for (;;) {
        // "HTTP/1.1 500 Internal Server Error": the version, three digits, the reason.
        const std::optional<std::string_view> statusLine = nextLine(bytes, pos);
        if (!statusLine || statusLine->size() < 12 || statusLine->substr(0, 7) != "HTTP/1." ||
            !isDigit((*statusLine)[7]) || (*statusLine)[8] != ' ' || !isDigit((*statusLine)[9]) ||
            !isDigit((*statusLine)[10]) || !isDigit((*statusLine)[11]) ||
            (statusLine->size() > 12 && (*statusLine)[12] != ' ')) {
            return std::nullopt;
        }
        RawResponse response;
        response.status = ((*statusLine)[9] - '0') * 100 + ((*statusLine)[10] - '0') * 10 + ((*statusLine)[11] - '0');
        response.statusText = std::string(statusLine->size() > 13 ? statusLine->substr(13) : std::string_view{});

        std::optional<std::uint64_t> length;
        bool lengthsDisagree = false;
        bool transferEncoding = false;
        for (;;) {
            const std::optional<std::string_view> line = nextLine(bytes, pos);
            if (!line) {
                return std::nullopt; // the head is cut short
            }
            if (line->empty()) {
                break;
            }
            const std::size_t colon = line->find(':');
            if (colon == std::string_view::npos || colon == 0) {
                return std::nullopt;
            }
            const std::string_view name = line->substr(0, colon);
            const std::string_view value = trimmedBlanks(line->substr(colon + 1));
            if (equalsIgnoringAsciiCase(name, "Content-Length")) {
                const std::optional<std::uint64_t> declared = contentLength(value);
                lengthsDisagree = lengthsDisagree || !declared || (length && *length != *declared);
                length = declared;
            } else if (equalsIgnoringAsciiCase(name, "Transfer-Encoding")) {
                transferEncoding = true;
            } else if (equalsIgnoringAsciiCase(name, "Content-Type") && !response.contentType) {
                response.contentType = std::string(value);
            }
        }
        if (response.status < 200) {
            continue; // an interim response: the final one follows
        }
        if (transferEncoding || lengthsDisagree) {
            return std::nullopt;
        }
        if (response.status == 204 || response.status == 304) {
            return response;
        }
        if (!length || *length > bytes.size() - pos) {
            return std::nullopt;
        }
        response.body = std::string(bytes.substr(pos, static_cast<std::size_t>(*length)));
        return response;
    }
}

} // namespace glb::service::detail
