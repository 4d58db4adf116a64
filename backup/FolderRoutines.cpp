#include "backup/FolderRoutines.h"

#include "common/Error.h"
#include "common/Platform.h"

#include <string>
#include <system_error>

namespace glb::backup {

namespace fs = std::filesystem;

void CompactarPasta(archive::TZipFile& compactador, const fs::path& pasta)
{
    // The iterator never yields "." and "..", and it closes the listing when an error from
    // the writer passes through.
    std::error_code ec;
    for (fs::directory_iterator it(pasta, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& arquivo = it->path();
        std::error_code statusError;
        const fs::file_status status = fs::status(arquivo, statusError);
        if (fs::is_directory(status)) {
            continue;
        }
        // Opening a pipe waits for a writer and a device may never end: neither is data.
        if (fs::is_other(status)) {
            continue;
        }
        compactador.Add(arquivo, {}, archive::TZipCompression::zcDeflate);
    }
}

bool ApagarDiretorio(const fs::path& caminho)
{
    return ApagarDiretorio(caminho, [](const fs::path& arquivo) {
        std::error_code ec;
        return fs::remove(arquivo, ec) && !ec;
    });
}

bool ApagarDiretorio(const fs::path& caminho, const FileDeleter& apagarArquivo)
{
    std::error_code ec;
    const fs::file_status own = fs::symlink_status(caminho, ec);
    // A link is taken away as a link: following it would delete files outside the tree.
    if (fs::is_symlink(own)) {
        return apagarArquivo(caminho);
    }
    if (!fs::is_directory(own)) {
        return false;
    }

    bool ok = true;
    for (fs::directory_iterator it(caminho, ec), end; ok && !ec && it != end; it.increment(ec)) {
        std::error_code entryError;
        if (fs::is_directory(it->symlink_status(entryError))) {
            ok = ApagarDiretorio(it->path(), apagarArquivo);
        } else {
            ok = apagarArquivo(it->path());
        }
    }
    if (!ok) {
        return false;
    }
    std::error_code removeError;
    return fs::remove(caminho, removeError) && !removeError;
}

void RemoverPastaEnvio(std::string_view pasta)
{
    RemoverPastaEnvio(pasta, platform::executableDirectory());
}

void RemoverPastaEnvio(std::string_view pasta, const fs::path& executableDirectory)
{
    ApagarDiretorio(executableDirectory / pathFromText(pasta));
}

} // namespace glb::backup
