#pragma once

#include "archive/ZipFile.h"

#include <filesystem>
#include <functional>
#include <string_view>

namespace glb::backup {

/// CompactarPasta: adds every file directly inside `pasta` (with or without a trailing
/// separator) to the open archive, in the order the file system lists them, each under its
/// bare name with Deflate. Folders, links to folders and special files (pipes, sockets,
/// devices) are passed over; subfolders are not descended into. The writer's errors pass
/// through unchanged. A folder that does not exist adds nothing; one that exists but cannot
/// be opened, or whose listing fails after it started, raises EFolderReadError naming it.
void CompactarPasta(archive::TZipFile& compactador, const std::filesystem::path& pasta);

/// Deletes one entry that is not a folder (a file or a link); true when it is gone.
using FileDeleter = std::function<bool(const std::filesystem::path&)>;

/// ApagarDiretorio: deletes the tree `caminho`; true when it and everything in it are gone.
/// Stops at the first entry that cannot be deleted, leaving it, every later entry and the
/// folder in place. A link, to a folder or dangling, is removed as a link and never
/// followed, also when `caminho` itself is one. A missing folder gives false. Raises only
/// when the listing of a folder of the tree fails after it started (EFolderReadError,
/// naming that folder): what was deleted before stays deleted, the rest stays in place.
bool ApagarDiretorio(const std::filesystem::path& caminho);

/// ApagarDiretorio with the deletion of files and links done by `apagarArquivo`.
bool ApagarDiretorio(const std::filesystem::path& caminho, const FileDeleter& apagarArquivo);

/// RemoverPastaEnvio: deletes the folder `pasta` beside the program file; reports nothing,
/// except that a listing that fails part-way raises as in ApagarDiretorio.
void RemoverPastaEnvio(std::string_view pasta);

/// RemoverPastaEnvio with the program's folder given.
void RemoverPastaEnvio(std::string_view pasta, const std::filesystem::path& executableDirectory);

} // namespace glb::backup
