#include "service/ServiceProxy.h"

#include "service/ResponseDecoder.h"
#include "service/ServiceErrors.h"

namespace glb::service {

ServiceProxy::ServiceProxy(std::unique_ptr<HttpTransport> transport, const Registry& registry)
    : m_transport(std::move(transport))
    , m_registry(registry)
{
    if (!m_transport)
        throw Error("A service proxy needs an HTTP transport");
}

void ServiceProxy::bind(std::string_view key)
{
    const InterfaceEntry* entry = m_registry.findInterface(key);
    if (entry == nullptr)
        throw EInterfaceNotSupported::notRegistered();
    m_namespace = entry->ns;
    m_soapAction = entry->soapAction;
    // The record's XML name comes from its registration; the contract's names stand in
    // for a registry that lacks it.
    if (const TypeEntry* record = m_registry.findType(kArquivosTypeName)) {
        m_recordNamespace = record->ns;
        m_recordName = record->xmlName;
    } else {
        m_recordNamespace = std::string(kWebBackupGlebariumNamespace);
        m_recordName = std::string(kArquivosTypeName);
    }
    m_bound = true;
    m_transport->setSoapAction(m_soapAction);
}

void ServiceProxy::setUrl(const std::string& url)
{
    m_transport->setUrl(url);
}

std::string ServiceProxy::UploadBackup(const std::string& nome, const std::string& cpf, ArquivoArray arquivo)
{
    if (!m_bound)
        throw EInterfaceNotSupported::notRegistered();
    std::string response;
    try {
        RequestNames names;
        names.operation = kUploadBackupOperation;
        names.interfaceNamespace = m_namespace;
        names.recordNamespace = m_recordNamespace;
        names.recordName = m_recordName;
        // Every staged file is opened and counted here, before the first byte goes out.
        const std::unique_ptr<RequestBody> request = openRequest(names, nome, cpf, arquivo);
        arquivo.clear(); // the records hold nothing more the call needs
        m_transport->setSoapAction(m_soapAction);
        m_transport->setSendHooks(m_hooks);
        if (m_hooks.onSent) {
            ObservedBody observed(*request, m_hooks.onSent);
            m_transport->execute(observed, response);
        } else {
            m_transport->execute(*request, response);
        }
    } catch (const ERequestNotReceivedWhole& e) {
        // The request and its files are gone here as well.
        raiseEarlyFault(e.earlyFault());
        throw;
    }
    // The request and its files went before the reply is decoded.
    return ProcessResponse(response);
}

void ServiceProxy::raiseEarlyFault(std::string_view earlyFault)
{
    if (earlyFault.empty()) {
        return;
    }
    try {
        (void)ProcessResponse(earlyFault);
    } catch (const ERemotableException&) {
        throw; // the service's own word on why it refused
    } catch (const Error&) {
        // Not a fault: the error that the backup was not received says more.
    }
}

std::shared_ptr<BackupGlebariumPortType> GetBackupGlebariumPort(bool UsarWSDL, const std::string& Endereco,
                                                                std::shared_ptr<ServiceProxy> ProxyExistente)
{
    return GetBackupGlebariumPort(UsarWSDL, Endereco, std::move(ProxyExistente), TransportFactory());
}

std::shared_ptr<BackupGlebariumPortType> GetBackupGlebariumPort(bool UsarWSDL, const std::string& Endereco,
                                                                std::shared_ptr<ServiceProxy> ProxyExistente,
                                                                const TransportFactory& makeTransport,
                                                                const Registry& registry)
{
    std::string address = Endereco;
    if (address.empty())
        address = std::string(UsarWSDL ? kBackupGlebariumWsdl : kBackupGlebariumUrl);

    // A proxy made here dies with this reference if anything below fails.
    std::shared_ptr<ServiceProxy> proxy = std::move(ProxyExistente);
    if (!proxy)
        proxy = std::make_shared<ServiceProxy>(makeTransport ? makeTransport() : makeDefaultTransport(), registry);

    proxy->bind(kBackupGlebariumPortTypeGuid);
    if (UsarWSDL)
        throw EWSDLModeNotSupported::urlModeOnly();
    proxy->setUrl(address);
    return proxy;
}

} // namespace glb::service
