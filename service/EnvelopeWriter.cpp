#include "service/EnvelopeWriter.h"

#include "service/Base64.h"

#include <array>
#include <cstdint>
#include <system_error>
#include <type_traits>

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

/// Length of the valid UTF-8 sequence at `p` that XML allows, or 0 when it is not one;
/// `bad` then receives the length of the maximal bad subpart (at least 1).
std::size_t validSequence(const unsigned char* p, std::size_t left, std::size_t& bad)
{
    const unsigned char lead = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (k >= left || p[k] < low || p[k] > high) {
            bad = k;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    if (length == 3 && lead == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
        bad = 3; // U+FFFE, U+FFFF
        return 0;
    }
    return length;
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
        // The text form is the Base64 alphabet and CR LF pairs; only each CR grows, by 4.
        // A file that changes size meanwhile only makes this a wrong guess.
        std::error_code ec;
        const std::uint64_t size = std::filesystem::file_size(*file, ec);
        if (!ec) {
            const std::size_t length = base64TextLength(size);
            sink.size += length + length / 78 * 4;
        }
    } else {
        encodeFileBase64(*file, [&sink](std::string_view piece) { putText(sink, piece); });
    }
    sink.put("</BUF>");
}

template <class Sink, class AfterRecord>
void putDocument(Sink& sink, const RequestNames& names, std::string_view nome, std::string_view cpf,
                 const ArquivoArray& arquivo, AfterRecord afterRecord)
{
    sink.put("<?xml version=\"1.0\"?>"
             "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
             " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
             " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
             " xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">"
             "<SOAP-ENV:Body xmlns:NS1=\"");
    sink.put(names.interfaceNamespace);
    sink.put("\" SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:NS2=\"");
    sink.put(names.recordNamespace);
    sink.put("\"><NS1:");
    sink.put(names.operation);
    sink.put(">");
    putStringElement(sink, "nome", nome);
    putStringElement(sink, "cpf", cpf);
    sink.put("<arquivo xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"NS2:");
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
        afterRecord(k - 1);
    }
    sink.put("</SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

template <class AfterRecord>
std::string writeRequest(const RequestNames& names, std::string_view nome, std::string_view cpf,
                         const ArquivoArray& arquivo, AfterRecord afterRecord)
{
    CountSink counter;
    putDocument(counter, names, nome, cpf, arquivo, [](std::size_t) {});
    std::string body;
    body.reserve(counter.size);
    StringSink writer{body};
    putDocument(writer, names, nome, cpf, arquivo, afterRecord);
    return body;
}

} // namespace

std::string InvContextToMsg(const RequestNames& names, std::string_view nome, std::string_view cpf,
                            const ArquivoArray& arquivo)
{
    return writeRequest(names, nome, cpf, arquivo, [](std::size_t) {});
}

std::string InvContextToMsg(const RequestNames& names, std::string_view nome, std::string_view cpf,
                            ArquivoArray&& arquivo)
{
    return writeRequest(names, nome, cpf, arquivo, [&arquivo](std::size_t index) {
        if (arquivo[index])
            arquivo[index]->clearBUF();
    });
}

} // namespace glb::service
