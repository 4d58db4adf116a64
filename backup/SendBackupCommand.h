#pragma once

#include "archive/ZipFile.h"
#include "backup/ArchivePacking.h"
#include "backup/CommandHost.h"
#include "backup/SendProgress.h"
#include "backup/farmlist/FarmQuery.h"
#include "common/SendCancel.h"
#include "service/HttpTransport.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
/// folder, packs every farm folder and the financial folder, uploads the staging folder,
/// shows the reply and always cleans up. Errors go on to the caller (the window's guard).
///
/// Every call into the window, the farm list and the collaborators below comes on the
/// thread that runs run(), except the archive writers' work: once the farm list has been read,
/// the archives are written side by side on worker threads while the window keeps its events
/// going (CommandHost as EventPump), and the upload runs its exchange the same way.
class SendBackupCommand
{
public:
    /// ConectadoInternet: true when the system reports an Internet connection.
    using ConnectionProbe = std::function<bool()>;
    using ZipFactory = std::function<std::unique_ptr<archive::TZipFile>()>;
    /// EnviarArquivos: uploads the staging folder `pasta` with the name and CPF/CNPJ as typed
    /// and returns the service's reply; `events` is the window's, for its event points and its
    /// worker step; `hooks` are to be told how much of the request has gone out and of a broken
    /// upload's wait for its next attempt, and carry the send's cancel.
    using Uploader =
        std::function<std::string(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                                  EventPump& events, const service::SendHooks& hooks)>;
    using Sleeper = std::function<void(std::chrono::milliseconds)>;

    SendBackupCommand(CommandHost& host, FarmQuery& query, SendBackupPaths paths, ConnectionProbe conectadoInternet,
                      ZipFactory makeZip, Uploader enviarArquivos, Sleeper sleep);

    /// One press of "&Enviar". A press while a run is in progress, or while another process
    /// sends from the same staging folder, starts nothing. Once the overlay is up, the
    /// clean-up (overlay gone, footer enabled, writers released, query closed, staging folder
    /// removed) runs in that order on success and on error alike; an error of the run then
    /// goes on, and a clean-up step's own error goes on only after a run that ended well. An
    /// existing farm folder whose Diretorio value is not a plain folder name (a separator, a
    /// drive, "..", NUL) or would not reach the service unchanged ends the run with
    /// EUnsafeFolderName, and archives that would share a name with EArchiveNameCollision,
    /// before anything is packed.
    ///
    /// A run that cancel() stops ends with the same clean-up, then an information box that
    /// says what reached the service (ESendCancelled's text); nothing else is shown for it.
    void run();
    bool running() const noexcept { return m_running; }

    /// Asks the run in progress to stop: packing stops at its next piece, the upload within
    /// about a second, a broken upload's wait at once. A reply that has already come is still
    /// shown. For the window's thread, while run() is in progress (inside its event points).
    void cancel() { m_cancel.cancel(); }
    /// True once cancel() has been asked during this run.
    bool cancelRequested() const noexcept { return m_cancel.cancelled(); }

    /// How many archives are written at once, each by a writer of its own: 0 (the default)
    /// for as many as the machine runs threads; never more than there are archives.
    void setPackingThreads(unsigned threads) noexcept { m_packingThreads = threads; }

private:
    using Compactadores = std::vector<std::unique_ptr<archive::TZipFile>>;

    /// The protected part of a run: overlay, archives of the farm folders and of the financial
    /// folder, pause, upload, reply.
    void packAndUpload(Compactadores& compactadores, const std::filesystem::path& pastaEnvio);
    /// The archives to write, in farm-list order, then the financial one: the farm list read
    /// to its end, each row's value checked, events processed once per row and before the
    /// financial folder.
    std::vector<ArchiveJob> archiveJobs();

    CommandHost& m_host;
    FarmQuery& m_query;
    SendBackupPaths m_paths;
    ConnectionProbe m_conectadoInternet;
    ZipFactory m_makeZip;
    Uploader m_enviarArquivos;
    Sleeper m_sleep;
    unsigned m_packingThreads = 0;
    SendProgress m_progress;
    SendCancel m_cancel;
    bool m_running = false;
};

} // namespace glb::backup
