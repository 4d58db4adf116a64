#include "service/ServiceErrors.h"

#include "service/SoapNames.h"

namespace glb::service {

namespace {

std::string_view withoutTrailingLineEnds(std::string_view text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string joined(std::initializer_list<std::string_view> parts)
{
    std::string text;
    for (const std::string_view part : parts) {
        text += part;
    }
    return text;
}

} // namespace

EStagedFileChanged EStagedFileChanged::forPath(const std::filesystem::path& path)
{
    return EStagedFileChanged(
        joined({"O arquivo \"", pathText(path), "\" mudou durante o envio; o backup não foi enviado"}));
}

ERequestNotReceivedWhole::ERequestNotReceivedWhole(std::string message, std::string earlyFault)
    : Error(std::move(message))
    , m_earlyFault(std::make_shared<const std::string>(std::move(earlyFault)))
{
}

ERequestNotReceivedWhole ERequestNotReceivedWhole::forEarlyAnswer(std::string earlyFault)
{
    return {"O serviço respondeu antes de receber o backup inteiro; o backup não foi enviado", std::move(earlyFault)};
}

ESOAPHTTPException ESOAPHTTPException::forStatus(std::string_view statusText, int status, std::string_view url)
{
    return {joined({statusText, " (", std::to_string(status), ") - '", url, "'"}), status};
}

ESOAPHTTPException ESOAPHTTPException::forLibraryError(std::string_view text, int libraryCode, std::string_view url,
                                                       std::string_view soapAction)
{
    return {joined({withoutTrailingLineEnds(text), " - URL:", url, " - SOAPAction:", soapAction}), libraryCode};
}

ESOAPHTTPException ESOAPHTTPException::forResponseTooLarge(std::size_t limitBytes, int libraryCode,
                                                           std::string_view url, std::string_view soapAction)
{
    return forLibraryError("The response is larger than the limit of " + std::to_string(limitBytes) + " bytes",
                           libraryCode, url, soapAction);
}

ESOAPHTTPException ESOAPHTTPException::forReplyTimeout(long limitSeconds, int libraryCode, std::string_view url,
                                                       std::string_view soapAction)
{
    return forLibraryError("The reply did not arrive within " + std::to_string(limitSeconds) +
                               " seconds after the request was sent",
                           libraryCode, url, soapAction);
}

ESOAPHTTPException ESOAPHTTPException::forContentType(std::string_view contentType)
{
    return {joined({"Received content of invalid Content-Type setting: ", contentType, " - SOAP expects \"text/xml\""}),
            0};
}

EInterfaceNotSupported EInterfaceNotSupported::notRegistered()
{
    return EInterfaceNotSupported("Interface not supported");
}

EWSDLModeNotSupported EWSDLModeNotSupported::urlModeOnly()
{
    return EWSDLModeNotSupported("The WSDL mode is not supported: the service is reached at its URL");
}

EDOMParseError EDOMParseError::forParse(std::string_view description, int line, std::string_view sourceLine)
{
    return EDOMParseError(joined({description, "\r\nLine: ", std::to_string(line), "\r\n", sourceLine}));
}

ESOAPDomConvertError ESOAPDomConvertError::noDocumentElement()
{
    return ESOAPDomConvertError("Invalid SOAP Response");
}

ESOAPDomConvertError ESOAPDomConvertError::emptyEnvelope()
{
    return ESOAPDomConvertError("Invalid SOAP request");
}

ESOAPDomConvertError ESOAPDomConvertError::repeatedPart()
{
    return ESOAPDomConvertError("Invalid SOAP response");
}

ESOAPDomConvertError ESOAPDomConvertError::wrongDocumentElement(std::string_view foundNamespace,
                                                                std::string_view foundName)
{
    return ESOAPDomConvertError(joined({"DocumentElement ", kSoap11EnvelopeNamespace, ":Envelope expected, ",
                                        foundNamespace, ":", foundName, " found"}));
}

ESOAPDomConvertError ESOAPDomConvertError::returnNotFound(std::string_view responseNodeXml)
{
    return ESOAPDomConvertError(joined(
        {"SOAP Response Packet: element matching function return not found, received \"", responseNodeXml, "\""}));
}

EXMLDocError EXMLDocError::notSingleTextNode(std::string_view qualifiedName)
{
    return EXMLDocError(joined({"Element \"", qualifiedName, "\" does not contain a single text node"}));
}

ERemotableException::ERemotableException(std::string message, std::string faultCode, std::string faultActor,
                                         std::string faultDetail)
    : Error(std::move(message))
    , m_faultCode(std::make_shared<const std::string>(std::move(faultCode)))
    , m_faultActor(std::make_shared<const std::string>(std::move(faultActor)))
    , m_faultDetail(std::make_shared<const std::string>(std::move(faultDetail)))
{
}

ERemotableException ERemotableException::mustUnderstand(std::string_view headerLocalName)
{
    return {joined({"Soap header ", headerLocalName, " with attribute 'mustUnderstand' set to true was not handled"}),
            "MustUnderstand"};
}

} // namespace glb::service
