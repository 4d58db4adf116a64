#pragma once

#include "archive/ZipFile.h"
#include "backup/CommandHost.h"
#include "backup/FarmQuery.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace glb::backup {

/// Where the send command finds things: the executable directory and the installation
/// folders, already mapped to native paths.
struct SendBackupPaths
{
    std::filesystem::path executableDirectory; ///< E
    std::filesystem::path raizFazendas;        ///< "C:\Glebarium\Fazendas\"
    std::filesystem::path pastaFinanceiro;     ///< "C:\Glebarium\Financeiro"

    /// The paths of this installation (platform::fixedPath, platform::executableDirectory).
    static SendBackupPaths installed();
};

/// btnEnviarBackupClick: checks the form and the connection, prepares the staging
/// folder, packs every farm folder and the financial folder, uploads the staging folder
/// and always cleans up. Errors go on to the caller (the window's guard).
class SendBackupCommand
{
public:
    using ZipFactory = std::function<std::unique_ptr<archive::TZipFile>()>;
    using Uploader = std::function<void(const std::filesystem::path& pasta)>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    SendBackupCommand(CommandHost& host, FarmQuery& query, SendBackupPaths paths, ZipFactory makeZip,
                      Uploader enviarArquivos, Sleeper sleep);

    /// One press of "&Enviar". A press while a run is in progress starts nothing. Once the
    /// overlay is up, the clean-up (overlay gone, footer enabled, writer released, query
    /// closed, staging folder removed) runs in that order on success and on error alike; an
    /// error of the run then goes on, and a clean-up step's own error goes on only after a
    /// run that ended well. A Diretorio value that is not a plain folder name (a separator,
    /// a drive, "..", NUL) ends the run with EUnsafeFolderName before anything is packed from it.
    void run();
    bool running() const noexcept { return m_running; }

private:
    /// Steps 8 to 15: overlay, archives of the farm folders and of the financial folder, pause, upload.
    void packAndUpload(std::unique_ptr<archive::TZipFile>& compactador, const std::filesystem::path& pastaEnvio);

    CommandHost& m_host;
    FarmQuery& m_query;
    SendBackupPaths m_paths;
    ZipFactory m_makeZip;
    Uploader m_enviarArquivos;
    Sleeper m_sleep;
    bool m_running = false;
};

} // namespace glb::backup
