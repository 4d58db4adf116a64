#pragma once

#include "common/Error.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace glb::service {

/// A failure of the HTTP exchange: a library failure, a status error or a refused content
/// type. StatusCode is the HTTP status for status errors, the library's code otherwise.
class ESOAPHTTPException : public Error
{
public:
    ESOAPHTTPException(std::string message, int statusCode)
        : Error(std::move(message))
        , m_statusCode(statusCode)
    {
    }

    int statusCode() const noexcept { return m_statusCode; }

    /// "%s (%d) - '%s'": the status text, the status, the URL.
    static ESOAPHTTPException forStatus(std::string_view statusText, int status, std::string_view url);
    /// "%s - URL:%s - SOAPAction:%s": the library's text (trailing CR/LF removed), the URL,
    /// the SOAPAction; StatusCode = `libraryCode`.
    static ESOAPHTTPException forLibraryError(std::string_view text, int libraryCode, std::string_view url,
                                              std::string_view soapAction);
    /// The library-error form for a response body larger than `limitBytes`.
    static ESOAPHTTPException forResponseTooLarge(std::size_t limitBytes, int libraryCode, std::string_view url,
                                                  std::string_view soapAction);
    /// The library-error form for a reply that has not arrived `limitSeconds` after the whole
    /// request was sent; StatusCode = `libraryCode`.
    static ESOAPHTTPException forReplyTimeout(long limitSeconds, int libraryCode, std::string_view url,
                                              std::string_view soapAction);
    /// "Received content of invalid Content-Type setting: %s - SOAP expects "text/xml"".
    static ESOAPHTTPException forContentType(std::string_view contentType);

private:
    int m_statusCode;
};

/// A staged file yielded other bytes while it was sent than it had when the request was
/// counted: the request is cut short, so the service never takes it for a whole backup.
class EStagedFileChanged : public Error
{
public:
    using Error::Error;
    /// "O arquivo "%s" mudou durante o envio; o backup não foi enviado".
    static EStagedFileChanged forPath(const std::filesystem::path& path);
};

/// The service answered before the whole request had gone out: whatever it said, it cannot
/// have received the backup whole.
class ERequestNotReceivedWhole : public Error
{
public:
    ERequestNotReceivedWhole(std::string message, std::string earlyFault);

    /// "O serviço respondeu antes de receber o backup inteiro; o backup não foi enviado",
    /// with `earlyFault` as below.
    static ERequestNotReceivedWhole forEarlyAnswer(std::string earlyFault = {});

    /// The body of the early answer when it was a whole response of status 500, the status
    /// of a SOAP fault, whose text then says why the service refused; empty otherwise.
    const std::string& earlyFault() const noexcept { return *m_earlyFault; }

private:
    // Shared, like the message, so that copying never throws.
    std::shared_ptr<const std::string> m_earlyFault;
};

/// A service proxy was asked for an interface that the registry does not hold.
class EInterfaceNotSupported : public Error
{
public:
    using Error::Error;
    /// "Interface not supported"
    static EInterfaceNotSupported notRegistered();
};

/// A proxy was asked for the WSDL mode; the service is reached at its URL only.
class EWSDLModeNotSupported : public Error
{
public:
    using Error::Error;
    /// "The WSDL mode is not supported: the service is reached at its URL"
    static EWSDLModeNotSupported urlModeOnly();
};

/// The response body is not well-formed XML.
class EDOMParseError : public Error
{
public:
    using Error::Error;
    /// The parser's description, CR LF, "Line: n", CR LF, the first 40 characters of that
    /// line of the source.
    static EDOMParseError forParse(std::string_view description, int line, std::string_view sourceLine);
};

/// A well-formed document that is not a usable SOAP response.
class ESOAPDomConvertError : public Error
{
public:
    using Error::Error;
    /// "Invalid SOAP Response": the document has no document element.
    static ESOAPDomConvertError noDocumentElement();
    /// "Invalid SOAP request": the Envelope has no child nodes.
    static ESOAPDomConvertError emptyEnvelope();
    /// "Invalid SOAP response": a second Header or Body.
    static ESOAPDomConvertError repeatedPart();
    /// "DocumentElement %s:%s expected, %s:%s found".
    static ESOAPDomConvertError wrongDocumentElement(std::string_view foundNamespace, std::string_view foundName);
    /// "SOAP Response Packet: element matching function return not found, received "%s"".
    static ESOAPDomConvertError returnNotFound(std::string_view responseNodeXml);
};

/// A fault part whose content is not a single text or CDATA node.
class EXMLDocError : public Error
{
public:
    using Error::Error;
    /// "Element "%s" does not contain a single text node", with the name as written.
    static EXMLDocError notSingleTextNode(std::string_view qualifiedName);
};

/// A SOAP fault sent by the service, or a header entry that had to be understood.
class ERemotableException : public Error
{
public:
    ERemotableException(std::string message, std::string faultCode = {}, std::string faultActor = {},
                        std::string faultDetail = {});

    const std::string& faultCode() const noexcept { return *m_faultCode; }
    const std::string& faultActor() const noexcept { return *m_faultActor; }
    const std::string& faultDetail() const noexcept { return *m_faultDetail; }

    /// "Soap header %s with attribute 'mustUnderstand' set to true was not handled",
    /// FaultCode "MustUnderstand".
    static ERemotableException mustUnderstand(std::string_view headerLocalName);

private:
    // Shared, like the message, so that copying never throws.
    std::shared_ptr<const std::string> m_faultCode;
    std::shared_ptr<const std::string> m_faultActor;
    std::shared_ptr<const std::string> m_faultDetail;
};

} // namespace glb::service
