#include "service/ResponseDecoder.h"

#include "common/AsciiText.h"
#include "service/ServiceErrors.h"

#include <climits>
#include <cstring>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace glb::service {

namespace {

constexpr std::string_view kSoap11Envelope = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::string_view kSoap12Envelope = "http://www.w3.org/2003/05/soap-envelope";
constexpr std::size_t kSourceLineCharacters = 40;

struct DocFree
{
    void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
};
struct ParserCtxtFree
{
    void operator()(xmlParserCtxt* ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};
struct BufferFree
{
    void operator()(xmlBuffer* buffer) const noexcept { xmlBufferFree(buffer); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;
struct XmlCharFree
{
    void operator()(xmlChar* value) const noexcept { xmlFree(value); }
};

std::string_view text(const xmlChar* value)
{
    return value == nullptr ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(value));
}

std::string lowered(std::string_view value)
{
    std::string result(value);
    for (char& c : result) {
        c = lowerAscii(c);
    }
    return result;
}

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

/// Appends the code point at `pos` of UTF-8 `bytes`, or U+FFFD for a byte that does not
/// start a valid sequence, so the message stays valid text whatever the body held.
std::size_t appendCharacter(std::string_view bytes, std::size_t pos, std::string& out)
{
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    std::size_t length = 0;
    if (lead < 0x80) {
        length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    }
    bool valid = length != 0 && pos + length <= bytes.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
        valid = (static_cast<unsigned char>(bytes[pos + i]) & 0xC0) == 0x80;
    }
    if (!valid) {
        out += "\xEF\xBF\xBD";
        return 1;
    }
    out.append(bytes.substr(pos, length));
    return length;
}

/// The first 40 characters of line `line` (1-based) of the body.
std::string sourceLine(std::string_view body, int line)
{
    std::size_t start = 0;
    for (int current = 1; current < line && start < body.size(); ++current) {
        const std::size_t end = body.find('\n', start);
        start = end == std::string_view::npos ? body.size() : end + 1;
    }
    std::string result;
    std::size_t pos = start;
    for (std::size_t count = 0; count < kSourceLineCharacters && pos < body.size(); ++count) {
        if (body[pos] == '\n' || body[pos] == '\r') {
            break;
        }
        pos += appendCharacter(body, pos, result);
    }
    return result;
}

void ignoreGenericError(void*, const char*, ...)
{
}

void initParser()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

DocPtr parse(std::string_view body)
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
    struct Reset
    {
        xmlGenericErrorFunc handler = xmlGenericError;
        void* context = xmlGenericErrorContext;
        ~Reset()
        {
            t_parseErrors = nullptr;
            xmlSetGenericErrorFunc(context, handler);
        }
    } reset;
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
        throw EDOMParseError::forParse(errors.message, errors.line, sourceLine(body, errors.line));
    }
    return doc;
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

/// The next node of a depth-first walk below `root`, without recursion.
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

/// Removes every text node that holds whitespace only (CDATA sections stay).
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

/// "#id" (lower case) -> the first element carrying that unprefixed id attribute.
using ReferenceTable = std::unordered_map<std::string, xmlNode*>;

ReferenceTable buildReferenceTable(xmlNode* root)
{
    ReferenceTable table;
    for (xmlNode* node = root; node != nullptr; node = nextInTree(node, root, true)) {
        if (node->type != XML_ELEMENT_NODE) {
            continue;
        }
        for (xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
            if (attr->ns == nullptr && text(attr->name) == "id") {
                std::string key(1, '#');
                key += lowered(attributeValue(attr));
                table.try_emplace(std::move(key), node);
            }
        }
    }
    return table;
}

/// The value of the attribute `name` without namespace, if the element has one.
std::optional<std::string> unprefixedAttribute(xmlNode* element, const char* name)
{
    for (xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns == nullptr && text(attr->name) == name) {
            return attributeValue(attr);
        }
    }
    return std::nullopt;
}

/// The node as the XML library writes it.
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

void readHeader(xmlNode* header)
{
    for (xmlNode* entry = header->children; entry != nullptr; entry = entry->next) {
        if (entry->type != XML_ELEMENT_NODE) {
            continue;
        }
        const std::optional<std::string> mustUnderstand = unprefixedAttribute(entry, "mustUnderstand");
        if (mustUnderstand && (*mustUnderstand == "1" || equalsIgnoringAsciiCase(*mustUnderstand, "true"))) {
            throw ERemotableException::mustUnderstand(text(entry->name));
        }
    }
}

std::string decodeResult(xmlDoc* doc, xmlNode* responseNode, const ReferenceTable& references)
{
    xmlNode* returnElement = nullptr;
    std::size_t elementCount = 0;
    for (xmlNode* child = responseNode->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            ++elementCount;
        }
    }
    if (elementCount == 1) {
        returnElement = firstElementChild(responseNode);
    } else {
        for (xmlNode* child = responseNode->children; child != nullptr && returnElement == nullptr;
             child = child->next) {
            if (child->type == XML_ELEMENT_NODE && (equalsIgnoringAsciiCase(text(child->name), "Result") ||
                                                    equalsIgnoringAsciiCase(text(child->name), "Return"))) {
                returnElement = child;
            }
        }
    }
    if (returnElement == nullptr) {
        throw ESOAPDomConvertError::returnNotFound(nodeXml(doc, responseNode));
    }

    xmlNode* source = returnElement;
    if (const std::optional<std::string> href = unprefixedAttribute(returnElement, "href")) {
        if (const auto found = references.find(lowered(*href)); found != references.end()) {
            source = found->second;
        }
    }

    xmlNode* only = source->children;
    if (only != nullptr && only->next == nullptr && only->type == XML_TEXT_NODE) {
        return std::string(text(only->content));
    }
    return childrenXml(doc, source);
}

std::string qualifiedName(const xmlNode* element)
{
    if (element->ns != nullptr && element->ns->prefix != nullptr) {
        return std::string(text(element->ns->prefix)) + ":" + std::string(text(element->name));
    }
    return std::string(text(element->name));
}

std::string partText(const xmlNode* part)
{
    if (part == nullptr || part->children == nullptr) {
        return {};
    }
    const xmlNode* only = part->children;
    if (only->next == nullptr && (only->type == XML_TEXT_NODE || only->type == XML_CDATA_SECTION_NODE)) {
        return std::string(text(only->content));
    }
    throw EXMLDocError::notSingleTextNode(qualifiedName(part));
}

[[noreturn]] void decodeFault(xmlDoc* doc, xmlNode* fault)
{
    xmlNode* faultCode = nullptr;
    xmlNode* faultString = nullptr;
    xmlNode* detail = nullptr;
    xmlNode* faultActor = nullptr;
    for (xmlNode* child = fault->children; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        const std::string_view name = text(child->name);
        if (equalsIgnoringAsciiCase(name, "faultcode")) {
            faultCode = child;
        } else if (equalsIgnoringAsciiCase(name, "faultstring")) {
            faultString = child;
        } else if (equalsIgnoringAsciiCase(name, "detail")) {
            detail = child;
        } else if (equalsIgnoringAsciiCase(name, "faultactor")) {
            faultActor = child;
        }
    }
    // In the order the parts are read: the message, then the actor, then the code; the
    // first part that holds more than one text names itself in the error.
    std::string message = partText(faultString);
    std::string actor = partText(faultActor);
    std::string code = partText(faultCode);
    std::string detailXml = detail != nullptr ? nodeXml(doc, detail) : std::string();
    if (message.empty()) {
        message = detail != nullptr ? detailXml : nodeXml(doc, fault);
    }
    throw ERemotableException(std::move(message), std::move(code), std::move(actor), std::move(detailXml));
}

} // namespace

std::string ProcessResponse(std::string_view body)
{
    const DocPtr doc = parse(body);
    xmlNode* envelope = xmlDocGetRootElement(doc.get());
    if (envelope != nullptr) {
        removeWhitespaceText(envelope);
    }
    const ReferenceTable references = envelope != nullptr ? buildReferenceTable(envelope) : ReferenceTable{};

    if (envelope == nullptr) {
        throw ESOAPDomConvertError::noDocumentElement();
    }
    const std::string_view ns = envelope->ns != nullptr ? text(envelope->ns->href) : std::string_view{};
    if (text(envelope->name) != "Envelope" || (ns != kSoap11Envelope && ns != kSoap12Envelope)) {
        throw ESOAPDomConvertError::wrongDocumentElement(ns, text(envelope->name));
    }
    if (envelope->children == nullptr) {
        throw ESOAPDomConvertError::emptyEnvelope();
    }

    std::string result;
    bool headerSeen = false;
    bool bodySeen = false;
    for (xmlNode* child = envelope->children; child != nullptr; child = child->next) {
        if (isElementNamed(child, "Header")) {
            if (headerSeen) {
                throw ESOAPDomConvertError::repeatedPart();
            }
            headerSeen = true;
            readHeader(child);
        } else if (isElementNamed(child, "Body")) {
            if (bodySeen) {
                throw ESOAPDomConvertError::repeatedPart();
            }
            bodySeen = true;
            xmlNode* responseNode = firstElementChild(child);
            if (responseNode == nullptr) {
                continue;
            }
            if (text(responseNode->name) == "Fault") {
                decodeFault(doc.get(), responseNode);
            }
            result = decodeResult(doc.get(), responseNode, references);
        }
    }
    return result;
}

} // namespace glb::service
