#include "backup/SendBackupCommand.h"

#include <utility>

#include "backup/Installation.h"
#include "common/Platform.h"

// Placeholder until the command lands: it refuses to run rather than pretend a backup was sent.
namespace glb::backup {

SendBackupPaths SendBackupPaths::installed()
{
    return {platform::executableDirectory(), platform::fixedPath(kRaizFazendas), platform::fixedPath(kPastaFinanceiro)};
}

SendBackupCommand::SendBackupCommand(CommandHost& host, FarmQuery& query, SendBackupPaths paths, ZipFactory makeZip,
                                     Uploader enviarArquivos, Sleeper sleep)
    : m_host(host)
    , m_query(query)
    , m_paths(std::move(paths))
    , m_makeZip(std::move(makeZip))
    , m_enviarArquivos(std::move(enviarArquivos))
    , m_sleep(std::move(sleep))
{
}

void SendBackupCommand::run()
{
    throw Error("The send command is not built yet");
}

} // namespace glb::backup
