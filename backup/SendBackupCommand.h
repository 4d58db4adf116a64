#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "archive/ZipFile.h"
#include "backup/CommandHost.h"
#include "backup/FarmQuery.h"

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

    /// One press of "&Enviar". A press while a run is in progress starts nothing.
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
