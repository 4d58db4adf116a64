#include "service/UploadCall.h"

#include <system_error>
#include <vector>

#include "common/Error.h"
#include "common/Platform.h"
#include "service/Base64.h"
#include "service/ServiceProxy.h"

namespace glb::service {

std::string ArquivoParaBase64(const std::filesystem::path& path)
{
    int code = 0;
    platform::File file = platform::File::open(path, platform::OpenMode::Read, platform::Sharing::ReadersOnly, code);
    if (!file.isOpen())
        throw EFOpenError::forPath(path, code);

    std::string text;
    if (const std::int64_t size = file.size(); size > 0)
        text.reserve(base64TextLength(static_cast<std::uint64_t>(size)));
    Base64Writer writer(text);
    // A multiple of 3, so pieces end on whole groups.
    std::vector<unsigned char> buffer(3 * 65536);
    for (;;) {
        const std::ptrdiff_t got = file.read(buffer.data(), buffer.size());
        if (got < 0)
            throw EReadError::streamRead();
        if (got == 0)
            break;
        writer.write(buffer.data(), static_cast<std::size_t>(got));
    }
    writer.finish();
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
        record->setBUF(ArquivoParaBase64(full));
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
