#include "service/ResponseDecoder.h"

#include "common/AsciiText.h"
#include "service/ServiceErrors.h"
#include "service/SoapNames.h"
#include "service/detail/XmlDocument.h"

#include <optional>
#include <unordered_map>

namespace glb::service {

namespace {

using namespace xml;

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
                key += lowerAscii(attributeValue(attr));
                table.try_emplace(std::move(key), node);
            }
        }
    }
    return table;
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
        if (const auto found = references.find(lowerAscii(*href)); found != references.end()) {
            source = found->second;
        }
    }

    xmlNode* only = source->children;
    if (only != nullptr && only->next == nullptr && only->type == XML_TEXT_NODE) {
        return std::string(text(only->content));
    }
    return childrenXml(doc, source);
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
    const DocPtr doc = parseDocument(body);
    xmlNode* envelope = xmlDocGetRootElement(doc.get());
    if (envelope != nullptr) {
        removeWhitespaceText(envelope);
    }
    const ReferenceTable references = envelope != nullptr ? buildReferenceTable(envelope) : ReferenceTable{};

    if (envelope == nullptr) {
        throw ESOAPDomConvertError::noDocumentElement();
    }
    const std::string_view ns = envelope->ns != nullptr ? text(envelope->ns->href) : std::string_view{};
    if (text(envelope->name) != "Envelope" || (ns != kSoap11EnvelopeNamespace && ns != kSoap12EnvelopeNamespace)) {
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
