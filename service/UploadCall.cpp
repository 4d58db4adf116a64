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

void EnviarArquivos(const std::filesystem::path& pasta, UploadHost& host)
{
    EnviarArquivos(pasta, host, [] { return GetBackupGlebariumPort(false, std::string(), nullptr); });
}

void EnviarArquivos(const std::filesystem::path& pasta, UploadHost& host, const PortFactory& makePort)
{
    host.processPendingEvents();

    ArquivoArray arquivo;
    std::error_code ec;
    // A folder that cannot be listed uploads nothing; the call is still made.
    for (std::filesystem::directory_iterator it(pasta, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError))
            continue;
        const std::filesystem::path& full = it->path();
        auto record = std::make_unique<arquivos>();
        record->setNOME(pathText(full.filename()));
        // Read when the request is written, straight into it (see arquivos).
        record->setBUFFile(full);
        arquivo.push_back(std::move(record));
    }

    host.processPendingEvents();

    std::string reply;
    {
        std::shared_ptr<BackupGlebariumPortType> port = makePort();
        reply = port->UploadBackup(host.nomeText(), host.cpfText(), std::move(arquivo));
    } // the proxy goes before the box is shown
    host.showInformation(reply);
}

} // namespace glb::service
