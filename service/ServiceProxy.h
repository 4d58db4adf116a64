#pragma once

#include "common/Error.h"
#include "service/EnvelopeWriter.h"
#include "service/HttpTransport.h"
#include "service/Registry.h"
#include "service/ServiceContract.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace glb::service {

/// Makes the HTTP transport of a new proxy.
using TransportFactory = std::function<std::unique_ptr<HttpTransport>()>;

/// The service proxy behind BackupGlebariumPortType: its SOAP converter writes the request,
/// its transport posts it, and the converter decodes the reply. It owns the transport; both
/// go when the last reference to the proxy is released.
class ServiceProxy : public BackupGlebariumPortType
{
public:
    ServiceProxy(std::unique_ptr<HttpTransport> transport, const Registry& registry);

    /// Binds to the interface registered under `key`: takes its namespace and default
    /// SOAPAction and hands the action to the transport. Raises EInterfaceNotSupported
    /// when no interface has the key.
    void bind(std::string_view key);

    /// Sets the endpoint: the transport records and splits it and closes any connection.
    /// Nothing is sent.
    void setUrl(const std::string& url);

    HttpTransport& transport() noexcept { return *m_transport; }

    /// Has the next calls tell `hooks.onSent` how much of their request has been sent, and
    /// hands the retry observer and the cancel to the transport.
    void setSendHooks(SendHooks hooks) { m_hooks = std::move(hooks); }

    /// Writes the request while it is posted (each staged file read and encoded as it is
    /// sent), with the operation's SOAPAction, and decodes the reply. Every error reaches the
    /// caller. When the service answered before the whole request went out
    /// (ERequestNotReceivedWhole), a SOAP fault in that answer reaches the caller as the
    /// fault (ERemotableException), since it says why the service refused; any other answer
    /// leaves the error as it is.
    std::string UploadBackup(const std::string& nome, const std::string& cpf, ArquivoArray arquivo) override;

private:
    /// Raises the SOAP fault that an early answer carries; returns when it carries none.
    static void raiseEarlyFault(std::string_view earlyFault);

    std::unique_ptr<HttpTransport> m_transport;
    const Registry& m_registry;
    std::string m_namespace;
    std::string m_soapAction;
    std::string m_recordNamespace;
    std::string m_recordName;
    SendHooks m_hooks;
    bool m_bound = false;
};

/// GetBackupGlebariumPort: a proxy bound to BackupGlebariumPortType at `Endereco` (the
/// built-in endpoint when empty). `ProxyExistente` is configured instead of a new proxy
/// when given. Only the URL mode exists: `UsarWSDL` true raises EWSDLModeNotSupported.
std::shared_ptr<BackupGlebariumPortType> GetBackupGlebariumPort(bool UsarWSDL = false, const std::string& Endereco = {},
                                                                std::shared_ptr<ServiceProxy> ProxyExistente = {});

/// The same, with the transport of a new proxy made by `makeTransport` and the interface
/// looked up in `registry`.
std::shared_ptr<BackupGlebariumPortType> GetBackupGlebariumPort(bool UsarWSDL, const std::string& Endereco,
                                                                std::shared_ptr<ServiceProxy> ProxyExistente,
                                                                const TransportFactory& makeTransport,
                                                                const Registry& registry = Registry::global());

} // namespace glb::service
