#pragma once

#include "archive/ZipFile.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace glb::backup {

/// One archive of a send: the folder whose plain files it holds, and its file name in the
/// staging folder.
struct ArchiveJob
{
    std::string nomeArquivo;
    std::filesystem::path pasta;
};

/// Writes the archive of every job into `pastaEnvio` (Open, CompactarPasta, Close), up to
/// writers.size() of them at once, each by a writer of its own on a thread of its own (the
/// calling thread is one of them). Each archive is the one a single writer would write.
///
/// The error raised is the one that packing the jobs in their order would have met first:
/// once a job fails, no later job is started and the later ones running stop at their next
/// piece, while earlier ones go on to their end (and an error of theirs wins). Every thread
/// has ended when this returns. `bytesRead`, when given, is told of every piece read from a
/// source, on the thread that read it.
void packArchives(const std::vector<ArchiveJob>& jobs, const std::vector<archive::TZipFile*>& writers,
                  const std::filesystem::path& pastaEnvio,
                  const std::function<void(std::size_t bytes)>& bytesRead = {});

} // namespace glb::backup
