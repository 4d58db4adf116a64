#include "service/UploadCall.h"

#include "common/Error.h"
#include "common/Platform.h"
#include "service/Base64.h"
#include "service/ServiceProxy.h"

#include <system_error>

namespace glb::service {

std::string ArquivoParaBase64(const std::filesystem::path& path)
{
    std::string text;
    std::error_code ec;
    if (const auto size = std::filesystem::file_size(path, ec); !ec)
        text.reserve(base64TextLength(size));
    encodeFileBase64(path, [&text](std::string_view piece) { text.append(piece); });
    return text;
}

std::string EnviarArquivos(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                           EventPump& events, const SendHooks& hooks)
{
    return EnviarArquivos(
        pasta, nome, cpf, events, [] { return GetBackupGlebariumPort(false, std::string(), nullptr); }, hooks);
}

std::string EnviarArquivos(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                           EventPump& events, const PortFactory& makePort, const SendHooks& hooks)
{
    events.processPendingEvents();

    ArquivoArray arquivo;
    // A folder that is not there uploads nothing, and the call is still made; one that is
    // there but cannot be listed, or a listing that breaks off, raises: the archives in it
    // would not reach the service. Only plain files go: a link, a FIFO or a device left in
    // the folder is no archive of this send (and the request opens each file without
    // following a link).
    platform::listExistingFolder(pasta, [&arquivo](const std::filesystem::path& full) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(full, ec))) {
            auto record = std::make_unique<arquivos>();
            record->setNOME(pathText(full.filename()));
            // Read while the request is sent, straight into it (see arquivos).
            record->setBUFFile(full);
            arquivo.push_back(std::move(record));
        }
        return true;
    });

    events.processPendingEvents();

    std::string reply;
    runOnWorker(events, [&] {
        const std::shared_ptr<BackupGlebariumPortType> port = makePort();
        if (const auto proxy = std::dynamic_pointer_cast<ServiceProxy>(port)) {
            proxy->setSendHooks(hooks);
        }
        reply = port->UploadBackup(nome, cpf, std::move(arquivo));
    }); // the proxy goes with the step, before the reply is handed back
    return reply;
}

} // namespace glb::service
