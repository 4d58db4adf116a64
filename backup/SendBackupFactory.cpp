#include "backup/SendBackupFactory.h"

#include "common/Platform.h"
#include "service/UploadCall.h"

#include <thread>
#include <utility>

namespace glb::backup {

std::unique_ptr<SendBackupCommand> makeSendBackupCommand(CommandHost& host, FarmQuery& query)
{
    return makeSendBackupCommand(host, query, [] { return platform::internetConnected(); });
}

std::unique_ptr<SendBackupCommand> makeSendBackupCommand(CommandHost& host, FarmQuery& query,
                                                         SendBackupCommand::ConnectionProbe conectadoInternet)
{
    return std::make_unique<SendBackupCommand>(
        host, query, SendBackupPaths::installed(), std::move(conectadoInternet),
        [] { return std::make_unique<archive::TZipFile>(); },
        [](const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf, EventPump& events,
           const service::SendHooks& hooks) { return service::EnviarArquivos(pasta, nome, cpf, events, hooks); },
        [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); });
}

} // namespace glb::backup
