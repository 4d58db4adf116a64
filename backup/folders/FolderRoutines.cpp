#include "backup/folders/FolderRoutines.h"

#include "common/Error.h"
#include "common/Platform.h"

#include <string>
#include <system_error>

namespace glb::backup {

namespace fs = std::filesystem;

void CompactarPasta(archive::TZipFile& compactador, const fs::path& pasta)
{
    // A folder that is there but cannot be listed, or a listing that breaks off, raises: an
    // archive of part of the folder, or of none of it, must not pass for the whole. An error
    // from the writer closes the listing on its way out.
    platform::listExistingFolder(pasta, [&compactador](const fs::path& arquivo) {
        std::error_code statusError;
        const fs::file_status status = fs::status(arquivo, statusError);
        // Opening a pipe waits for a writer and a device may never end: neither is data.
        if (!fs::is_directory(status) && !fs::is_other(status)) {
            compactador.Add(arquivo, {}, archive::TZipCompression::zcDeflate);
        }
        return true;
    });
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
    platform::listFolder(caminho, [&](const fs::path& entrada) {
        std::error_code entryError;
        if (fs::is_directory(fs::symlink_status(entrada, entryError))) {
            ok = ApagarDiretorio(entrada, apagarArquivo);
        } else {
            ok = apagarArquivo(entrada);
        }
        return ok;
    });
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
