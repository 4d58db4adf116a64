#include "backup/FolderRoutines.h"

#include "common/Error.h"

// Placeholder until the folder routines land: nothing is packed and nothing is deleted.
namespace glb::backup {

void CompactarPasta(archive::TZipFile&, const std::filesystem::path&)
{
    throw Error("The folder routines are not built yet");
}

bool ApagarDiretorio(const std::filesystem::path&)
{
    return false;
}

void RemoverPastaEnvio(std::string_view) {}

} // namespace glb::backup
