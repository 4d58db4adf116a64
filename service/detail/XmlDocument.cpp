#include "service/detail/XmlDocument.h"

#include "common/AsciiText.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"
#include "common/Utf8.h"
#include "service/ServiceErrors.h"

#include <array>
#include <climits>
#include <libxml/encoding.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <mutex>

namespace glb::service::xml {

namespace {

constexpr std::size_t kSourceLineCharacters = 40;

struct ParserCtxtFree
{
    void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};
struct BufferFree
{
    void operator()(xmlBuffer* buffer) const noexcept { xmlBufferFree(buffer); }
};
struct XmlCharFree
{
    void operator()(xmlChar* value) const noexcept { xmlFree(value); }
};

/// The first error the parser raised; libxml2 keeps only the last, which after a fatal
/// error is often a consequence of it.
struct ParseErrors
{
    bool seen = false;
    std::string message;
    int line = 0;
};

// The parse in progress on this thread; the parser resets its context's private fields.
thread_local ParseErrors* t_parseErrors = nullptr;

void recordError(void*, xmlError* error)
{
    ParseErrors* errors = t_parseErrors;
    if (errors == nullptr || errors->seen || error == nullptr || error->level < XML_ERR_ERROR) {
        return;
    }
    errors->seen = true;
    errors->message = std::string(text(reinterpret_cast<const xmlChar*>(error->message)));
    while (!errors->message.empty() && (errors->message.back() == '\n' || errors->message.back() == '\r')) {
        errors->message.pop_back();
    }
    errors->line = error->line;
}

// Entity declarations are dropped, so a DTD cannot define text that the parser would
// expand; references to such entities then fail as undeclared.
void ignoreEntityDecl(void*, const xmlChar*, int, const xmlChar*, const xmlChar*, xmlChar*)
{
}

/// Appends the character at `pos` of UTF-8 `bytes`, or U+FFFD for a maximal ill-formed
/// subpart, so the message stays valid text whatever the body held; returns the bytes read.
std::size_t appendCharacter(std::string_view bytes, std::size_t pos, std::string& out)
{
    const Utf8Step step = readUtf8(bytes, pos);
    if (!step.wellFormed()) {
        out += "\xEF\xBF\xBD";
        return step.badLength;
    }
    out.append(bytes.substr(pos, step.length));
    return step.length;
}

/// The first 40 characters of one line of a text that arrives in pieces of UTF-8.
class LineExcerpt
{
public:
    /// `line` counts from 1.
    explicit LineExcerpt(int line)
        : m_line(line)
    {
    }

    /// Takes the next piece, which ends on a character boundary; false once the excerpt is
    /// complete and nothing more is needed.
    bool feed(std::string_view text)
    {
        std::size_t pos = 0;
        if (m_atStart) {
            m_atStart = false;
            if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
                pos = kByteOrderMark.size(); // not part of the text
            }
        }
        while (pos < text.size() && !m_complete) {
            if (m_current < m_line) {
                const std::size_t end = text.find('\n', pos);
                if (end == std::string_view::npos) {
                    return true;
                }
                ++m_current;
                pos = end + 1;
            } else if (text[pos] == '\n' || text[pos] == '\r' || m_count == kSourceLineCharacters) {
                m_complete = true;
            } else {
                pos += appendCharacter(text, pos, m_text);
                ++m_count;
            }
        }
        return !m_complete;
    }

    std::string take() { return std::move(m_text); }

private:
    static constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    int m_line;
    int m_current = 1;
    bool m_atStart = true;
    bool m_complete = false;
    std::size_t m_count = 0;
    std::string m_text;
};

/// Bytes of the smallest unit of `encoding`, skipped where a unit cannot be converted.
std::size_t unitSize(std::string_view encoding)
{
    const std::string name = lowerAscii(std::string(encoding));
    if (name.find("32") != std::string::npos || name.find("ucs-4") != std::string::npos ||
        name.find("ucs4") != std::string::npos) {
        return 4;
    }
    return name.find("16") != std::string::npos || name.find("ucs-2") != std::string::npos ? 2 : 1;
}

/// Feeds `body`, converted from `encoding` to UTF-8 by the parser's own converters, to
/// `excerpt` in pieces of bounded size; a unit that cannot be converted becomes U+FFFD.
/// False when the parser has no converter for the encoding.
bool feedConverted(std::string_view body, const char* encoding, LineExcerpt& excerpt)
{
    constexpr std::size_t kPiece = 4096;
    xmlCharEncodingHandler* handler = xmlFindCharEncodingHandler(encoding);
    if (handler == nullptr) {
        return false;
    }
    const ScopeExit close([handler] { xmlCharEncCloseFunc(handler); });
    const std::unique_ptr<xmlBuffer, BufferFree> in(xmlBufferCreate());
    const std::unique_ptr<xmlBuffer, BufferFree> out(xmlBufferCreate());
    if (!in || !out) {
        throw std::bad_alloc();
    }
    const std::size_t unit = unitSize(encoding);
    std::size_t pos = 0;
    for (;;) {
        const auto pending = static_cast<std::size_t>(xmlBufferLength(in.get()));
        if (pending < kPiece && pos < body.size()) {
            const std::size_t piece = std::min(kPiece, body.size() - pos);
            if (xmlBufferAdd(in.get(), reinterpret_cast<const xmlChar*>(body.data() + pos), static_cast<int>(piece)) !=
                0) {
                throw std::bad_alloc();
            }
            pos += piece;
            continue;
        }
        if (pending == 0) {
            return true;
        }
        const int result = xmlCharEncInFunc(handler, out.get(), in.get());
        const bool progressed = static_cast<std::size_t>(xmlBufferLength(in.get())) < pending;
        const std::string_view converted(reinterpret_cast<const char*>(xmlBufferContent(out.get())),
                                         static_cast<std::size_t>(xmlBufferLength(out.get())));
        if (!excerpt.feed(converted)) {
            return true;
        }
        xmlBufferEmpty(out.get());
        // No progress: a unit that is not text in the encoding, or a sequence cut short by
        // the end of the body.
        if (!progressed && (result == -2 || pos >= body.size() || pending >= kPiece)) {
            xmlBufferShrink(in.get(), static_cast<unsigned int>(std::min(unit, pending)));
            if (!excerpt.feed("\xEF\xBF\xBD")) {
                return true;
            }
        }
    }
}

/// The first 40 characters of line `line` (1-based) of the body, as UTF-8 text: read in
/// `encoding` when the parser took the body to be in one other than UTF-8.
std::string sourceLine(std::string_view body, int line, const char* encoding)
{
    LineExcerpt excerpt(line);
    if (encoding == nullptr || equalsIgnoringAsciiCase(encoding, "UTF-8") || !feedConverted(body, encoding, excerpt)) {
        excerpt.feed(body);
    }
    return excerpt.take();
}

void ignoreGenericError(void*, const char*, ...)
{
}

// windows-1252, the code page of Windows in Portuguese, for a parser built without iconv
// (the Windows build's): each byte's character as the platform's code pages give it, empty
// for a byte that has none.
std::array<std::string, 256> g_windows1252;

int windows1252ToUtf8(unsigned char* out, int* outlen, const unsigned char* in, int* inlen)
{
    int read = 0;
    int written = 0;
    int result = 0;
    while (read < *inlen) {
        const std::string& character = g_windows1252[in[read]];
        if (character.empty()) {
            result = -2;
            break;
        }
        if (static_cast<int>(character.size()) > *outlen - written) {
            break;
        }
        std::copy(character.begin(), character.end(), out + written);
        written += static_cast<int>(character.size());
        ++read;
    }
    *inlen = read;
    *outlen = written;
    return result == 0 ? written : result;
}

/// Registers a converter for windows-1252 with the parser when it has none of its own.
void addWindows1252()
{
    if (xmlCharEncodingHandler* own = xmlFindCharEncodingHandler("windows-1252")) {
        xmlCharEncCloseFunc(own);
        return;
    }
    for (std::size_t byte = 0; byte < g_windows1252.size(); ++byte) {
        const char one = static_cast<char>(byte);
        g_windows1252[byte] = platform::decodeCodePage(1252, std::string_view(&one, 1)).value_or(std::string());
    }
    if (g_windows1252['A'] != "A") {
        return; // the platform does not know the code page either
    }
    for (const char* name : {"windows-1252", "cp1252"}) {
        xmlNewCharEncodingHandler(name, windows1252ToUtf8, nullptr);
    }
}

void initParser()
{
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        addWindows1252();
    });
}

bool isWhitespaceOnly(const xmlNode* node)
{
    for (const char c : text(node->content)) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            return false;
        }
    }
    return true;
}

} // namespace

std::string_view text(const xmlChar* value)
{
    return value == nullptr ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(value));
}

DocPtr parseDocument(std::string_view body)
{
    initParser();
    std::unique_ptr<xmlParserCtxt, ParserCtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        throw std::bad_alloc();
    }
    if (body.size() > static_cast<std::size_t>(INT_MAX)) {
        throw EDOMParseError::forParse("Document too large", 1, {});
    }
    ParseErrors errors;
    t_parseErrors = &errors;
    // Errors outside the parser's context (character conversion) would go to stderr;
    // the parser reports their consequence itself.
    const ScopeExit reset([handler = xmlGenericError, context = xmlGenericErrorContext] {
        t_parseErrors = nullptr;
        xmlSetGenericErrorFunc(context, handler);
    });
    xmlSetGenericErrorFunc(nullptr, ignoreGenericError);
    ctxt->sax->serror = recordError;
    ctxt->sax->entityDecl = ignoreEntityDecl;

    // No XML_PARSE_NOENT (no substitution), no DTD loading or attribute defaults, no
    // network, and no XML_PARSE_HUGE: the parser's size and depth limits stay in force.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    DocPtr doc(xmlCtxtReadMemory(ctxt.get(), body.empty() ? "" : body.data(), static_cast<int>(body.size()), nullptr,
                                 nullptr, options));
    if (!doc || ctxt->wellFormed == 0 || ctxt->nsWellFormed == 0 || errors.seen) {
        if (!errors.seen) {
            errors.message = "Document is not well-formed";
            errors.line = ctxt->input != nullptr ? ctxt->input->line : 1;
        }
        // The encoding the parser read the body in: from the byte-order mark or the
        // declaration; none for UTF-8.
        const xmlParserInput* input = ctxt->input;
        const char* encoding = input != nullptr && input->buf != nullptr && input->buf->encoder != nullptr
                                   ? input->buf->encoder->name
                                   : nullptr;
        throw EDOMParseError::forParse(errors.message, errors.line, sourceLine(body, errors.line, encoding));
    }
    return doc;
}

xmlNode* nextInTree(xmlNode* node, const xmlNode* root, bool descend)
{
    if (descend && node->children != nullptr && node->type == XML_ELEMENT_NODE) {
        return node->children;
    }
    while (node != root) {
        if (node->next != nullptr) {
            return node->next;
        }
        node = node->parent;
    }
    return nullptr;
}

void removeWhitespaceText(xmlNode* root)
{
    xmlNode* node = root;
    while (node != nullptr) {
        if (node->type == XML_TEXT_NODE && isWhitespaceOnly(node)) {
            xmlNode* next = nextInTree(node, root, false);
            xmlUnlinkNode(node);
            xmlFreeNode(node);
            node = next;
        } else {
            node = nextInTree(node, root, true);
        }
    }
}

std::string attributeValue(xmlAttr* attr)
{
    const std::unique_ptr<xmlChar, XmlCharFree> value(xmlNodeGetContent(reinterpret_cast<xmlNode*>(attr)));
    return std::string(text(value.get()));
}

std::optional<std::string> unprefixedAttribute(xmlNode* element, const char* name)
{
    for (xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns == nullptr && text(attr->name) == name) {
            return attributeValue(attr);
        }
    }
    return std::nullopt;
}

std::string nodeXml(xmlDoc* doc, xmlNode* node)
{
    std::unique_ptr<xmlBuffer, BufferFree> buffer(xmlBufferCreate());
    if (!buffer) {
        throw std::bad_alloc();
    }
    xmlNodeDump(buffer.get(), doc, node, 0, 0);
    return std::string(text(xmlBufferContent(buffer.get())));
}

std::string childrenXml(xmlDoc* doc, xmlNode* element)
{
    std::string result;
    for (xmlNode* child = element->children; child != nullptr; child = child->next) {
        result += nodeXml(doc, child);
    }
    return result;
}

bool isElementNamed(const xmlNode* node, std::string_view localName)
{
    return node->type == XML_ELEMENT_NODE && text(node->name) == localName;
}

xmlNode* firstElementChild(xmlNode* node)
{
    for (xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            return child;
        }
    }
    return nullptr;
}

std::string qualifiedName(const xmlNode* element)
{
    if (element->ns != nullptr && element->ns->prefix != nullptr) {
        return std::string(text(element->ns->prefix)) + ":" + std::string(text(element->name));
    }
    return std::string(text(element->name));
}

} // namespace glb::service::xml
