#pragma once

// The libxml2 document layer of the response decoder: parsing with the parser's limits in
// force and the first error captured, owners of the library's objects, and the few walks
// over the tree the decoder needs. Private to the service library, which links libxml2.

#include <libxml/tree.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace glb::service::xml {

struct DocFree
{
    void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

/// The library's text as a view; no text for null.
std::string_view text(const xmlChar* value);

/// Parses `body` without network access, DTD loading, entity declarations or the
/// parser's huge-document mode, so its size and depth limits hold. A body that is not
/// well-formed raises EDOMParseError with the first error the parser raised, its line
/// and the first 40 characters of that line, read in the document's encoding.
DocPtr parseDocument(std::string_view body);

/// The next node of a depth-first walk below `root`, without recursion; the children of
/// `node` are visited only when `descend`.
xmlNode* nextInTree(xmlNode* node, const xmlNode* root, bool descend);
/// Removes every text node below `root` that holds whitespace only (CDATA sections stay).
void removeWhitespaceText(xmlNode* root);

/// The value of an attribute, its entity references resolved.
std::string attributeValue(xmlAttr* attr);
/// The value of the attribute `name` without namespace, if the element has one.
std::optional<std::string> unprefixedAttribute(xmlNode* element, const char* name);

/// The node as the XML library writes it.
std::string nodeXml(xmlDoc* doc, xmlNode* node);
/// The children of `element` as the XML library writes them, one after the other.
std::string childrenXml(xmlDoc* doc, xmlNode* element);

bool isElementNamed(const xmlNode* node, std::string_view localName);
/// Null when the node has no element child.
xmlNode* firstElementChild(xmlNode* node);
/// "prefix:name", or the local name for an element without a prefix.
std::string qualifiedName(const xmlNode* element);

} // namespace glb::service::xml
