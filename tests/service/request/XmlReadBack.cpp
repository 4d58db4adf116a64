#include "XmlReadBack.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <map>

namespace glb::test {

namespace {

std::string text(const xmlChar* s)
{
    return s == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(s));
}

std::string content(xmlNode* node)
{
    xmlChar* c = xmlNodeGetContent(node);
    std::string result = text(c);
    xmlFree(c);
    return result;
}

std::string attribute(xmlNode* node, const char* name, const char* ns = nullptr)
{
    xmlChar* v = ns == nullptr
                     ? xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name))
                     : xmlGetNsProp(node, reinterpret_cast<const xmlChar*>(name), reinterpret_cast<const xmlChar*>(ns));
    std::string result = text(v);
    xmlFree(v);
    return result;
}

std::vector<xmlNode*> elements(xmlNode* parent)
{
    std::vector<xmlNode*> result;
    for (xmlNode* n = parent->children; n != nullptr; n = n->next) {
        if (n->type == XML_ELEMENT_NODE)
            result.push_back(n);
    }
    return result;
}

xmlNode* child(xmlNode* parent, std::string_view name)
{
    for (xmlNode* n : elements(parent)) {
        if (text(n->name) == name)
            return n;
    }
    return nullptr;
}

constexpr const char* kXsi = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* kEnc = "http://schemas.xmlsoap.org/soap/encoding/";
constexpr const char* kEnv = "http://schemas.xmlsoap.org/soap/envelope/";

} // namespace

ReadBackRequest readBack(std::string_view body)
{
    ReadBackRequest r;
    xmlDoc* doc = xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return r;
    r.wellFormed = true;
    xmlNode* envelope = xmlDocGetRootElement(doc);
    r.envelopeNs = envelope->ns ? text(envelope->ns->href) : "";
    xmlNode* bodyEl = child(envelope, "Body");
    if (bodyEl == nullptr) {
        xmlFreeDoc(doc);
        return r;
    }
    r.encodingStyle = attribute(bodyEl, "encodingStyle", kEnv);
    const std::vector<xmlNode*> parts = elements(bodyEl);
    std::map<std::string, xmlNode*> ids;
    for (std::size_t i = 1; i < parts.size(); ++i)
        ids["#" + attribute(parts[i], "id")] = parts[i];
    xmlNode* operation = parts.empty() ? nullptr : parts.front();
    if (operation != nullptr) {
        r.operationName = text(operation->name);
        r.operationNs = operation->ns ? text(operation->ns->href) : "";
        if (xmlNode* n = child(operation, "nome"))
            r.nome = content(n);
        if (xmlNode* n = child(operation, "cpf"))
            r.cpf = content(n);
        if (xmlNode* array = child(operation, "arquivo")) {
            r.arrayType = attribute(array, "arrayType", kEnc);
            for (xmlNode* item : elements(array)) {
                const auto found = ids.find(attribute(item, "href"));
                if (found == ids.end() || attribute(found->second, "type", kXsi) != "NS2:arquivos") {
                    r.unresolvedReference = true;
                    continue;
                }
                xmlNode* nome = child(found->second, "NOME");
                xmlNode* buf = child(found->second, "BUF");
                r.records.emplace_back(nome ? content(nome) : "?", buf ? content(buf) : "?");
            }
        }
    }
    xmlFreeDoc(doc);
    return r;
}

} // namespace glb::test
