#pragma once

#include <filesystem>
#include <string_view>

#include "archive/ZipFile.h"

namespace glb::backup {

/// CompactarPasta: adds every plain file directly inside `pasta` to the open archive.
void CompactarPasta(archive::TZipFile& compactador, const std::filesystem::path& pasta);

/// ApagarDiretorio: deletes the tree `caminho`; true when it and everything in it are gone.
bool ApagarDiretorio(const std::filesystem::path& caminho);

/// RemoverPastaEnvio: deletes the folder `pasta` beside the program file; reports nothing.
void RemoverPastaEnvio(std::string_view pasta);

} // namespace glb::backup
