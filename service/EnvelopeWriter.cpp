#include "service/EnvelopeWriter.h"

#include "common/Error.h"
#include "common/Platform.h"
#include "common/Utf8.h"
#include "service/Base64.h"
#include "service/ServiceErrors.h"
#include "service/SoapNames.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <type_traits>
#include <vector>

namespace glb::service {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

enum : std::uint8_t
{
    kPlain,
    kAmp,
    kLt,
    kGt,
    kCr,
    kForbidden,
    kMultiByte,
};

constexpr std::array<std::uint8_t, 256> makeClasses()
{
    std::array<std::uint8_t, 256> classes{};
    for (unsigned c = 0; c < 0x20; ++c)
        classes[c] = kForbidden;
    classes['\t'] = kPlain;
    classes['\n'] = kPlain;
    classes['\r'] = kCr;
    classes['&'] = kAmp;
    classes['<'] = kLt;
    classes['>'] = kGt;
    for (unsigned c = 0x80; c < 0x100; ++c)
        classes[c] = kMultiByte;
    return classes;
}

constexpr std::array<std::uint8_t, 256> kClasses = makeClasses();

/// Length of the well-formed UTF-8 sequence at `p` that XML allows, or 0 when it is not one;
/// `bad` then receives the length of the maximal bad subpart (at least 1). XML allows every
/// character but U+FFFE and U+FFFF (the controls are classed apart).
std::size_t validSequence(const unsigned char* p, std::size_t left, std::size_t& bad)
{
    const Utf8Step step = readUtf8(std::string_view(reinterpret_cast<const char*>(p), left), 0);
    if (!step.wellFormed()) {
        bad = step.badLength;
        return 0;
    }
    if (step.codePoint == 0xFFFE || step.codePoint == 0xFFFF) {
        bad = step.length;
        return 0;
    }
    return step.length;
}

struct CountSink
{
    std::size_t size = 0;
    void put(std::string_view text) noexcept { size += text.size(); }
};

struct StringSink
{
    std::string& out;
    void put(std::string_view text) { out.append(text); }
};

/// Length of the BUF text of a file of `size` bytes: its Base64 text form (the alphabet and
/// CR LF pairs) with each CR written as "&#13;", four bytes more.
std::uint64_t escapedBase64Length(std::uint64_t size)
{
    const std::uint64_t length = base64TextLength(size);
    return length + length / 78 * 4;
}

/// The request as a body produced while it is read: the document's text is held as it is
/// written, and the BUF of each record that names a file comes from that file, open from the
/// moment the body is made until it goes. The file is read in bounded pieces, encoded and
/// escaped as it is sent; a file that yields other bytes than were counted fails the read.
class StreamedRequest final : public RequestBody
{
public:
    StreamedRequest() { resetFileState(); }

    // The sink interface of putDocument.
    void put(std::string_view text)
    {
        if (m_parts.empty() || m_parts.back().file) {
            m_parts.emplace_back();
        }
        m_parts.back().text.append(text);
        m_size += text.size();
    }

    void putFile(const std::filesystem::path& path)
    {
        int code = 0;
        auto file = std::make_unique<FilePart>();
        file->path = path;
        file->file = platform::File::open(path, platform::OpenMode::ReadNoLink, platform::Sharing::ReadersOnly, code);
        if (!file->file.isOpen()) {
            throw EFOpenError::forPath(path, code);
        }
        const std::optional<platform::FileIdentity> identity = file->file.identity();
        if (!identity || identity->size < 0) {
            throw EReadError::forFile(path, platform::lastErrorCode());
        }
        file->identity = *identity;
        file->size = static_cast<std::uint64_t>(identity->size);
        file->length = escapedBase64Length(file->size);
        m_size += file->length;
        m_parts.emplace_back().file = std::move(file);
    }

    std::uint64_t size() const override { return m_size; }

    std::size_t read(char* buffer, std::size_t capacity) override
    {
        std::size_t done = 0;
        while (done < capacity && m_part < m_parts.size()) {
            Part& part = m_parts[m_part];
            std::string_view available;
            if (!part.file) {
                available = std::string_view(part.text).substr(m_offset);
            } else {
                if (m_offset == m_out.size()) {
                    if (m_fileDone) {
                        nextPart();
                        continue;
                    }
                    refill(*part.file);
                    continue;
                }
                available = std::string_view(m_out).substr(m_offset);
            }
            const std::size_t count = std::min(capacity - done, available.size());
            std::memcpy(buffer + done, available.data(), count);
            done += count;
            m_offset += count;
            if (!part.file && m_offset == part.text.size()) {
                nextPart();
            }
        }
        return done;
    }

    void rewind() override
    {
        for (Part& part : m_parts) {
            if (part.file && !part.file->file.seek(0)) {
                throw EReadError::forFile(part.file->path, platform::lastErrorCode());
            }
        }
        m_part = 0;
        resetFileState();
    }

private:
    struct FilePart
    {
        std::filesystem::path path;
        platform::File file;
        platform::FileIdentity identity; ///< as it was when it was opened
        std::uint64_t size = 0;          ///< the file's bytes, as counted when it was opened
        std::uint64_t length = 0;        ///< the bytes of its BUF text in the body
    };
    struct Part
    {
        std::string text;               ///< when file is null
        std::unique_ptr<FilePart> file; ///< a BUF produced from a file
    };

    // A multiple of 3 and of 57, so every piece but the last is whole lines of Base64 text.
    static constexpr std::size_t kChunk = std::size_t{57} * 1150;

    void nextPart()
    {
        ++m_part;
        resetFileState();
    }

    void resetFileState()
    {
        m_offset = 0;
        m_fileRead = 0;
        m_produced = 0;
        m_fileDone = false;
        m_out.clear();
        m_base64.clear();
        m_writer.emplace(m_base64);
    }

    /// The next piece of the current file's BUF text into m_out.
    void refill(FilePart& part)
    {
        m_out.clear();
        m_offset = 0;
        m_base64.clear();
        if (m_fileRead < part.size) {
            const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, part.size - m_fileRead));
            const std::ptrdiff_t got = part.file.read(m_input.data(), wanted);
            if (got < 0) {
                throw EReadError::forFile(part.path, platform::lastErrorCode());
            }
            if (got == 0) {
                throw EStagedFileChanged::forPath(part.path); // it shrank
            }
            m_fileRead += static_cast<std::uint64_t>(got);
            m_writer->write(m_input.data(), static_cast<std::size_t>(got));
        }
        if (m_fileRead == part.size) {
            m_writer->finish();
            unsigned char probe = 0;
            if (part.file.read(&probe, 1) != 0) {
                throw EStagedFileChanged::forPath(part.path); // it grew, or cannot be read to its end
            }
            // Rewritten in place with the same size (locks on Linux are only advisory): what was
            // sent may mix its old and new bytes. Every write gives the file another change time.
            if (part.file.identity() != part.identity) {
                throw EStagedFileChanged::forPath(part.path);
            }
            m_fileDone = true;
        }
        for (std::size_t at = 0; at < m_base64.size();) {
            const std::size_t cr = m_base64.find('\r', at);
            const std::size_t end = cr == std::string::npos ? m_base64.size() : cr;
            m_out.append(m_base64, at, end - at);
            if (cr == std::string::npos) {
                break;
            }
            m_out.append("&#13;");
            at = cr + 1;
        }
        m_produced += m_out.size();
        if (m_produced > part.length || (m_fileDone && m_produced != part.length)) {
            throw EStagedFileChanged::forPath(part.path);
        }
    }

    std::vector<Part> m_parts;
    std::uint64_t m_size = 0;
    std::size_t m_part = 0;
    std::size_t m_offset = 0; ///< in the current text part, or in m_out for a file part
    // The current file part's state.
    std::uint64_t m_fileRead = 0;
    std::uint64_t m_produced = 0;
    bool m_fileDone = false;
    std::string m_base64;
    std::string m_out;
    std::optional<Base64Writer> m_writer;
    std::array<unsigned char, kChunk> m_input{};
};

template <class Sink> void putText(Sink& sink, std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t run = 0;
    std::size_t i = 0;
    const auto flush = [&](std::size_t end) {
        if (end > run)
            sink.put(text.substr(run, end - run));
    };
    while (i < n) {
        const std::uint8_t cls = kClasses[p[i]];
        if (cls == kPlain) {
            ++i;
            continue;
        }
        std::string_view replacement;
        std::size_t consumed = 1;
        switch (cls) {
        case kAmp:
            replacement = "&amp;";
            break;
        case kLt:
            replacement = "&lt;";
            break;
        case kGt:
            replacement = "&gt;";
            break;
        case kCr:
            replacement = "&#13;";
            break;
        case kForbidden:
            replacement = kReplacement;
            break;
        default: {
            std::size_t bad = 0;
            const std::size_t length = validSequence(p + i, n - i, bad);
            if (length != 0) {
                i += length;
                continue;
            }
            replacement = kReplacement;
            consumed = bad;
            break;
        }
        }
        flush(i);
        sink.put(replacement);
        i += consumed;
        run = i;
    }
    flush(n);
}

template <class Sink> void putCount(Sink& sink, std::size_t value)
{
    char digits[24];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    sink.put(std::string_view(digits + at, sizeof digits - at));
}

/// An element with xsi:type="xsd:string" and `text` as content (start and end tag even
/// when it is empty, so that text and file-backed BUF read the same).
template <class Sink> void putStringElement(Sink& sink, std::string_view name, std::string_view text)
{
    sink.put("<");
    sink.put(name);
    sink.put(" xsi:type=\"xsd:string\">");
    putText(sink, text);
    sink.put("</");
    sink.put(name);
    sink.put(">");
}

/// BUF of a record: its text, or the Base64 text form of its file encoded straight in.
template <class Sink> void putBuf(Sink& sink, const arquivos& record)
{
    const std::filesystem::path* file = record.bufFile();
    if (file == nullptr) {
        putStringElement(sink, "BUF", record.BUF());
        return;
    }
    sink.put("<BUF xsi:type=\"xsd:string\">");
    if constexpr (std::is_same_v<Sink, CountSink>) {
        // A file that changes size meanwhile only makes this a wrong guess for the reserve.
        std::error_code ec;
        const std::uint64_t size = std::filesystem::file_size(*file, ec);
        if (!ec) {
            sink.size += static_cast<std::size_t>(escapedBase64Length(size));
        }
    } else if constexpr (std::is_same_v<Sink, StreamedRequest>) {
        sink.putFile(*file);
    } else {
        encodeFileBase64(*file, [&sink](std::string_view piece) { putText(sink, piece); });
    }
    sink.put("</BUF>");
}

template <class Sink>
void putDocument(Sink& sink, const RequestNames& names, std::string_view nome, std::string_view cpf,
                 const ArquivoArray& arquivo)
{
    sink.put(R"(<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=")");
    sink.put(kSoap11EnvelopeNamespace);
    sink.put(R"(" xmlns:xsd="http://www.w3.org/2001/XMLSchema")"
             R"( xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:SOAP-ENC=")");
    sink.put(kSoapEncodingNamespace);
    sink.put(R"("><SOAP-ENV:Body xmlns:NS1=")");
    sink.put(names.interfaceNamespace);
    sink.put(R"(" SOAP-ENV:encodingStyle=")");
    sink.put(kSoapEncodingNamespace);
    sink.put(R"(" xmlns:NS2=")");
    sink.put(names.recordNamespace);
    sink.put("\"><NS1:");
    sink.put(names.operation);
    sink.put(">");
    putStringElement(sink, "nome", nome);
    putStringElement(sink, "cpf", cpf);
    sink.put(R"(<arquivo xsi:type="SOAP-ENC:Array" SOAP-ENC:arrayType="NS2:)");
    sink.put(names.recordName);
    sink.put("[");
    putCount(sink, arquivo.size());
    if (arquivo.empty()) {
        sink.put("]\"/>");
    } else {
        sink.put("]\">");
        for (std::size_t k = 1; k <= arquivo.size(); ++k) {
            sink.put("<item href=\"#");
            putCount(sink, k);
            sink.put("\"/>");
        }
        sink.put("</arquivo>");
    }
    sink.put("</NS1:");
    sink.put(names.operation);
    sink.put(">");

    for (std::size_t k = 1; k <= arquivo.size(); ++k) {
        static const arquivos kEmpty;
        const arquivos& record = arquivo[k - 1] ? *arquivo[k - 1] : kEmpty;
        sink.put("<NS2:");
        sink.put(names.recordName);
        sink.put(" id=\"");
        putCount(sink, k);
        sink.put("\" xsi:type=\"NS2:");
        sink.put(names.recordName);
        sink.put("\">");
        putStringElement(sink, "NOME", record.NOME());
        putBuf(sink, record);
        sink.put("</NS2:");
        sink.put(names.recordName);
        sink.put(">");
    }
    sink.put("</SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

} // namespace

std::string InvContextToMsg(const RequestNames& names, std::string_view nome, std::string_view cpf,
                            const ArquivoArray& arquivo)
{
    CountSink counter;
    putDocument(counter, names, nome, cpf, arquivo);
    std::string body;
    body.reserve(counter.size);
    StringSink writer{body};
    putDocument(writer, names, nome, cpf, arquivo);
    return body;
}

bool readsBackUnchanged(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::uint8_t cls = kClasses[p[i]];
        if (cls == kForbidden) {
            return false;
        }
        if (cls != kMultiByte) {
            ++i;
            continue;
        }
        std::size_t bad = 0;
        const std::size_t length = validSequence(p + i, text.size() - i, bad);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::unique_ptr<RequestBody> openRequest(const RequestNames& names, std::string_view nome, std::string_view cpf,
                                         const ArquivoArray& arquivo)
{
    auto body = std::make_unique<StreamedRequest>();
    putDocument(*body, names, nome, cpf, arquivo);
    return body;
}

} // namespace glb::service
