#include "fuzz/envelope/RequestProperty.h"

#include "fuzz/support/Base64Check.h"
#include "fuzz/support/FuzzCheck.h"

#include <algorithm>
#include <cstdint>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <memory>

namespace glb::fuzz {

namespace {

constexpr std::string_view kFffd = "\xEF\xBF\xBD";
constexpr std::string_view kEnv = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr std::string_view kEnc = "http://schemas.xmlsoap.org/soap/encoding/";

bool isXmlChar(std::uint32_t cp)
{
    return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
           (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Whether a sequence of `length` bytes that starts with `have` bytes of value `prefix`
// can still end as a Unicode scalar value in its shortest form: the values its possible
// endings span must meet the range of that length outside the surrogates.
bool canComplete(std::uint32_t prefix, std::size_t length, std::size_t have)
{
    static constexpr std::uint32_t kLowest[] = {0, 0, 0x80, 0x800, 0x10000};
    static constexpr std::uint32_t kHighest[] = {0, 0, 0x7FF, 0xFFFF, 0x10FFFF};
    const auto missing = static_cast<unsigned>(6 * (length - have));
    const std::uint32_t low = std::max(prefix << missing, kLowest[length]);
    const std::uint32_t high = std::min((prefix << missing) | ((1U << missing) - 1U), kHighest[length]);
    return low <= high && !(low >= 0xD800 && high <= 0xDFFF);
}

std::string text(const xmlChar* s)
{
    return s == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(s));
}

std::string qualifiedName(const xmlNode* node)
{
    const std::string prefix = node->ns != nullptr ? text(node->ns->prefix) : std::string();
    return prefix.empty() ? text(node->name) : prefix + ":" + text(node->name);
}

// "prefix:name=value" for every attribute, in document order, one per line.
std::string attributes(const xmlNode* node)
{
    std::string out;
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        if (a->ns != nullptr)
            out += text(a->ns->prefix) + ":";
        xmlChar* value = xmlNodeListGetString(node->doc, a->children, 1);
        out += text(a->name) + "=" + text(value) + "\n";
        xmlFree(value);
    }
    return out;
}

// "prefix=namespace" for every declaration on the element, in document order.
std::string declarations(const xmlNode* node)
{
    std::string out;
    for (const xmlNs* ns = node->nsDef; ns != nullptr; ns = ns->next)
        out += text(ns->prefix) + "=" + text(ns->href) + "\n";
    return out;
}

void expectElement(const xmlNode* node, std::string_view name, std::string_view ns, std::string_view attrs)
{
    GLB_FUZZ_CHECK_TEXT(qualifiedName(node), name, "element name");
    GLB_FUZZ_CHECK_TEXT(node->ns != nullptr ? text(node->ns->href) : std::string(), ns, "element namespace");
    GLB_FUZZ_CHECK_TEXT(attributes(node), attrs, "attributes");
    if (name != "SOAP-ENV:Envelope" && name != "SOAP-ENV:Body")
        GLB_FUZZ_CHECK_TEXT(declarations(node), "", "namespace declarations");
}

// The children of an element that holds elements only: no text, not even whitespace.
std::vector<const xmlNode*> childElements(const xmlNode* node)
{
    std::vector<const xmlNode*> out;
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type != XML_ELEMENT_NODE)
            fail(__FILE__, __LINE__, ("a node that is not an element inside " + qualifiedName(node)).c_str());
        out.push_back(c);
    }
    return out;
}

// The text of an xsd:string parameter element; it may hold nothing but text.
std::string stringElement(const xmlNode* node, std::string_view name)
{
    expectElement(node, name, "", "xsi:type=xsd:string\n");
    std::string content;
    for (const xmlNode* c = node->children; c != nullptr; c = c->next) {
        if (c->type != XML_TEXT_NODE)
            fail(__FILE__, __LINE__, ("a node that is not text inside " + std::string(name)).c_str());
        content += text(c->content);
    }
    return content;
}

struct DocFree
{
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

} // namespace

std::string expectedReadBack(std::string_view given)
{
    std::string out;
    std::size_t i = 0;
    while (i < given.size()) {
        const auto lead = static_cast<unsigned char>(given[i]);
        std::size_t length = 1;
        std::uint32_t value = lead;
        if (lead >= 0x80) {
            length = lead >= 0xF0 && lead <= 0xF7 ? 4 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xC0 ? 2 : 0;
            if (length == 0 || lead >= 0xF8) {
                out += kFffd; // a byte that starts no sequence
                ++i;
                continue;
            }
            value = lead & (0x7FU >> length);
            std::size_t have = 1;
            bool viable = canComplete(value, length, have);
            while (viable && have < length && i + have < given.size()) {
                const auto next = static_cast<unsigned char>(given[i + have]);
                if ((next & 0xC0U) != 0x80 || !canComplete(value << 6U | (next & 0x3FU), length, have + 1))
                    break;
                value = value << 6U | (next & 0x3FU);
                ++have;
            }
            if (!viable || have < length) {
                out += kFffd; // one for the whole start of a sequence that cannot complete
                i += have;
                continue;
            }
        }
        if (isXmlChar(value))
            out += given.substr(i, length);
        else
            out += kFffd;
        i += length;
    }
    return out;
}

void checkRequestDocument(std::string_view document, const RequestArguments& arguments)
{
    constexpr std::string_view kDeclaration = "<?xml version=\"1.0\"?>";
    GLB_FUZZ_CHECK_TEXT(document.substr(0, kDeclaration.size()), kDeclaration, "XML declaration");

    const std::unique_ptr<xmlDoc, DocFree> doc(
        xmlReadMemory(document.data(), static_cast<int>(document.size()), "request.xml", nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc) {
        const xmlError* error = xmlGetLastError();
        std::fprintf(stderr, "libxml2: %s", error != nullptr && error->message != nullptr ? error->message : "?\n");
        fail(__FILE__, __LINE__, "the document is not well-formed XML");
    }
    GLB_FUZZ_CHECK(doc->intSubset == nullptr);
    GLB_FUZZ_CHECK(doc->encoding == nullptr);

    const xmlNode* envelope = xmlDocGetRootElement(doc.get());
    GLB_FUZZ_CHECK(envelope != nullptr && envelope->next == nullptr && envelope->prev == nullptr);
    expectElement(envelope, "SOAP-ENV:Envelope", kEnv, "");
    GLB_FUZZ_CHECK_TEXT(declarations(envelope),
                        "SOAP-ENV=http://schemas.xmlsoap.org/soap/envelope/\n"
                        "xsd=http://www.w3.org/2001/XMLSchema\n"
                        "xsi=http://www.w3.org/2001/XMLSchema-instance\n"
                        "SOAP-ENC=http://schemas.xmlsoap.org/soap/encoding/\n",
                        "declarations of the Envelope");
    const auto envelopeChildren = childElements(envelope);
    GLB_FUZZ_CHECK(envelopeChildren.size() == 1);

    const xmlNode* body = envelopeChildren[0];
    expectElement(body, "SOAP-ENV:Body", kEnv, "SOAP-ENV:encodingStyle=" + std::string(kEnc) + "\n");
    GLB_FUZZ_CHECK_TEXT(declarations(body), "NS1=urn:BackupGlebarium\nNS2=urn:WebBackupGlebarium\n",
                        "declarations of the Body");
    const auto parts = childElements(body);
    const std::size_t count = arguments.records.size();
    GLB_FUZZ_CHECK(parts.size() == 1 + count);

    const xmlNode* operation = parts[0];
    expectElement(operation, "NS1:UploadBackup", "urn:BackupGlebarium", "");
    const auto parameters = childElements(operation);
    GLB_FUZZ_CHECK(parameters.size() == 3);
    GLB_FUZZ_CHECK_TEXT(stringElement(parameters[0], "nome"), expectedReadBack(arguments.nome), "nome");
    GLB_FUZZ_CHECK_TEXT(stringElement(parameters[1], "cpf"), expectedReadBack(arguments.cpf), "cpf");

    const xmlNode* array = parameters[2];
    expectElement(array, "arquivo", "",
                  "xsi:type=SOAP-ENC:Array\nSOAP-ENC:arrayType=NS2:arquivos[" + std::to_string(count) + "]\n");
    const auto items = childElements(array);
    GLB_FUZZ_CHECK(items.size() == count);
    for (std::size_t k = 1; k <= count; ++k) {
        expectElement(items[k - 1], "item", "", "href=#" + std::to_string(k) + "\n");
        GLB_FUZZ_CHECK(items[k - 1]->children == nullptr);

        const xmlNode* record = parts[k];
        expectElement(record, "NS2:arquivos", "urn:WebBackupGlebarium",
                      "id=" + std::to_string(k) + "\nxsi:type=NS2:arquivos\n");
        const auto fields = childElements(record);
        GLB_FUZZ_CHECK(fields.size() == 2);
        const RequestRecord& given = arguments.records[k - 1];
        GLB_FUZZ_CHECK_TEXT(stringElement(fields[0], "NOME"), expectedReadBack(given.nome), "NOME");
        const std::string buf = stringElement(fields[1], "BUF");
        if (!given.bufFromFile) {
            GLB_FUZZ_CHECK_TEXT(buf, expectedReadBack(given.buf), "BUF text");
            continue;
        }
        std::string why;
        const auto bytes = decodeBase64Text(buf, why);
        if (!bytes) {
            std::fprintf(stderr, "BUF of record %zu: %s\n", k, why.c_str());
            fail(__FILE__, __LINE__, "a file's BUF is not its Base64 text form");
        }
        GLB_FUZZ_CHECK_TEXT(*bytes, given.buf, "a file's bytes decoded from its BUF");
    }
}

} // namespace glb::fuzz
