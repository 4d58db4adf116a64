#include "backup/SendBackupCommand.h"

#include "backup/ArchivePacking.h"
#include "backup/BackupErrors.h"
#include "backup/Installation.h"
#include "backup/folders/FolderRoutines.h"
#include "common/AsciiText.h"
#include "common/Error.h"
#include "common/Platform.h"
#include "common/ScopeGuard.h"
#include "common/UseLock.h"
#include "service/EnvelopeWriter.h"

#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace glb::backup {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMensagemAguarde = "Enviando Backup";
constexpr std::string_view kSemInternet = "Você não está conectado a Internet";
constexpr std::string_view kSemPastaEnvio = "Não possivel criar a pasta de envio";
constexpr std::string_view kEnvioEmAndamento =
    "Outro envio de backup já está em andamento a partir desta pasta. Aguarde o fim dele e tente de novo.";
constexpr std::chrono::milliseconds kPausaAntesDoEnvio{500};
constexpr std::size_t kMinimoCpfCnpj = 11;
// Descriptors kept free for the rest of a send beside its staged files: the connection and
// the proxy's, name lookups, the libraries' own files.
constexpr std::size_t kDescritoresReservados = 32;

std::size_t characterCount(std::string_view utf8)
{
    return static_cast<std::size_t>(std::count_if(
        utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U; }));
}

/// True when `diretorio` names a folder directly inside the farm root (or, empty, the root
/// itself), so that neither the farm folder nor "Backup" + it + ".zip" can leave their parent.
bool isPlainFolderName(std::string_view diretorio)
{
    if (diretorio.find_first_of(std::string_view("\\/:\0", 4)) != std::string_view::npos) {
        return false;
    }
    // ".." and the forms Windows reads as it (trailing dots and blanks are dropped there).
    const bool dotsAndBlanksOnly = diretorio.find_first_not_of(". ") == std::string_view::npos;
    return !(dotsAndBlanksOnly && std::count(diretorio.begin(), diretorio.end(), '.') >= 2);
}

/// True unless `path` is known to be no folder: one whose state cannot be told (no rights
/// on the way to it) is taken as there, so that packing it reports why it cannot be read
/// instead of leaving it out of the backup without a word.
bool existsAsFolder(const fs::path& path)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    return fs::is_directory(status) || (ec && status.type() != fs::file_type::not_found);
}

/// The plain files in the staging folder before any archive is written: leftovers that
/// could not be removed, which the upload sends too.
std::size_t filesIn(const fs::path& pasta)
{
    std::size_t count = 0;
    platform::listFolder(pasta, [&count](const fs::path& entry) {
        std::error_code ec;
        count += fs::is_regular_file(fs::symlink_status(entry, ec)) ? 1 : 0;
        return true;
    });
    return count;
}

/// The bytes of the files that packing `jobs` reads: those of the plain files directly in
/// each folder, as CompactarPasta takes them.
std::uint64_t bytesToPack(const std::vector<ArchiveJob>& jobs)
{
    std::uint64_t total = 0;
    for (const ArchiveJob& job : jobs) {
        platform::listFolder(job.pasta, [&total](const fs::path& entry) {
            std::error_code ec;
            if (fs::is_regular_file(fs::status(entry, ec))) {
                const std::uintmax_t size = fs::file_size(entry, ec);
                total += ec ? 0 : size;
            }
            return true;
        });
    }
    return total;
}

/// The archive names of one send, each with the folder it packs. Two names that a file system
/// may take for one (letter case aside, as the platform folds it) are one file there and may
/// be one at the service, so they are one name here; a farm row that names the same folder
/// again is the same archive, packed once.
class ArchiveNames
{
public:
    /// Claims the archive `name` for the farm folder `pasta` (of the value `diretorio`): true
    /// when it is new, false when an earlier row claimed it for the same folder. Raises
    /// EArchiveNameCollision when another folder has it.
    bool claimForFarm(const std::string& name, const std::string& diretorio, const fs::path& pasta)
    {
        const auto [owner, added] = m_owners.try_emplace(platform::fileNameKey(name), Owner{diretorio, pasta, false});
        if (added) {
            return true;
        }
        std::error_code ec;
        if (!owner->second.financial && fs::equivalent(owner->second.pasta, pasta, ec)) {
            return false;
        }
        throw EArchiveNameCollision::betweenFarms(owner->second.diretorio, diretorio, name);
    }

    /// Claims the financial archive's `name`; raises when a farm folder has it.
    void claimForFinancial(const std::string& name, const fs::path& pasta)
    {
        const auto [owner, added] = m_owners.try_emplace(platform::fileNameKey(name), Owner{{}, pasta, true});
        if (!added) {
            throw EArchiveNameCollision::withFinancial(owner->second.diretorio, name);
        }
    }

private:
    struct Owner
    {
        std::string diretorio;
        fs::path pasta;
        bool financial = false;
    };
    std::map<std::string, Owner> m_owners; ///< by platform::fileNameKey of the name
};

} // namespace

SendBackupPaths SendBackupPaths::installed()
{
    return {platform::executableDirectory(), platform::fixedPath(kRaizFazendas), platform::fixedPath(kPastaFinanceiro)};
}

SendBackupCommand::SendBackupCommand(CommandHost& host, FarmQuery& query, SendBackupPaths paths,
                                     ConnectionProbe conectadoInternet, ZipFactory makeZip, Uploader enviarArquivos,
                                     Sleeper sleep)
    : m_host(host)
    , m_query(query)
    , m_paths(std::move(paths))
    , m_conectadoInternet(std::move(conectadoInternet))
    , m_makeZip(std::move(makeZip))
    , m_enviarArquivos(std::move(enviarArquivos))
    , m_sleep(std::move(sleep))
{
}

void SendBackupCommand::run()
{
    // The overlay and the information boxes let events through; a press still pending
    // there finds the command running and starts nothing.
    if (m_running) {
        return;
    }
    m_running = true;
    const ScopeExit notRunning([this] { m_running = false; });

    if (trimmedBlanks(m_host.nomeText()).empty()) {
        m_host.setFocus(FormControl::edtNome);
        return;
    }
    const std::string cpf = m_host.cpfText();
    if (characterCount(trimmedBlanks(cpf)) < kMinimoCpfCnpj) {
        m_host.setFocus(FormControl::edtCPFCNPJ);
        return;
    }
    if (!m_host.contratoChecked()) {
        m_host.setFocus(FormControl::cbContrato);
        return;
    }
    if (!m_conectadoInternet()) {
        m_host.showInformation(std::string(kSemInternet));
        return;
    }

    const fs::path pastaEnvio = m_paths.executableDirectory / pathFromText(kPastaEnvio);
    // One send at a time per staging folder: another copy of the program started from this
    // folder would otherwise remove this one's archives. Held until the clean-up has ended.
    const platform::UseLock usoDaPasta(pastaEnvio);
    if (usoDaPasta.state() == platform::UseLock::State::Busy) {
        m_host.showInformation(std::string(kEnvioEmAndamento));
        return;
    }
    RemoverPastaEnvio(kPastaEnvio, m_paths.executableDirectory);
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(pastaEnvio, ec))) {
        fs::create_directories(pastaEnvio, ec);
        // A link left in its place (one that could not be removed) is no staging folder.
        if (ec || !fs::is_directory(fs::symlink_status(pastaEnvio, ec))) {
            m_host.showInformation(std::string(kSemPastaEnvio));
            return;
        }
    }

    m_cancel.reset();
    try {
        // The clean-up, on success and on error alike, in this order: overlay gone, footer
        // enabled, writer released, farm list closed, staging folder removed (declared in reverse).
        Compactadores compactadores;
        const CleanupStep removerPastaEnvio([this] { RemoverPastaEnvio(kPastaEnvio, m_paths.executableDirectory); });
        const CleanupStep fecharConsulta([this] { m_query.close(); });
        const CleanupStep liberarCompactadores([&compactadores] { compactadores.clear(); });
        const CleanupStep habilitarBotoes([this] { m_host.setFooterEnabled(true); });
        const CleanupStep esconderAguarde([this] { m_host.esconderAguarde(); });

        packAndUpload(compactadores, pastaEnvio);
    } catch (const ESendCancelled& cancelled) {
        // Once the clean-up has run: what reached the service, as the user must know it.
        m_host.showInformation(cancelled.message());
    }
}

std::vector<ArchiveJob> SendBackupCommand::archiveJobs()
{
    std::vector<ArchiveJob> jobs;
    ArchiveNames archives;
    while (!m_query.eof()) {
        m_host.processPendingEvents();
        const std::string diretorio = m_query.fieldAsText("Diretorio");
        const fs::path pastaFazenda = m_paths.raizFazendas / pathFromText(diretorio);
        // A farm whose folder does not exist is passed over, whatever its value holds; one
        // that exists must stay inside the farm root, and its archive inside the staging
        // folder, under a name that reaches the service as it is and is no other's.
        if (existsAsFolder(pastaFazenda)) {
            std::string nome = std::string(kPrefixoBackup) + diretorio + std::string(kExtensaoZip);
            if (!isPlainFolderName(diretorio) || !service::readsBackUnchanged(nome)) {
                throw EUnsafeFolderName::forDiretorio(diretorio);
            }
            // Two jobs on one archive would write it side by side, each over the other.
            if (archives.claimForFarm(nome, diretorio, pastaFazenda)) {
                jobs.push_back({std::move(nome), pastaFazenda});
            }
        }
        m_query.next();
    }

    if (existsAsFolder(m_paths.pastaFinanceiro)) {
        m_host.processPendingEvents();
        std::string nome = std::string(kNomeBackupFinanceiro) + std::string(kExtensaoZip);
        archives.claimForFinancial(nome, m_paths.pastaFinanceiro);
        jobs.push_back({std::move(nome), m_paths.pastaFinanceiro});
    }
    return jobs;
}

void SendBackupCommand::packAndUpload(Compactadores& compactadores, const fs::path& pastaEnvio)
{
    // The system does not sleep while the send runs; the display may still turn off.
    std::optional<platform::KeepAwake> awake(std::in_place);
    m_host.mostrarAguarde(std::string(kMensagemAguarde));
    m_host.setFooterEnabled(false);
    m_progress.reset();
    m_host.followProgress(m_progress);
    compactadores.push_back(m_makeZip());

    m_query.close();
    m_query.addPassword(std::string(kSenhaTabela));
    m_query.setSql(std::string(kSqlFazendas));
    m_query.open();
    m_query.first();
    const std::vector<ArchiveJob> jobs = archiveJobs();
    m_cancel.check();

    // The request holds every staged file open while it goes out; find out now, not after
    // every archive has been written, when there would be more than the system allows.
    if (const std::optional<std::size_t> room = platform::openFileRoom()) {
        const std::size_t files = jobs.size() + filesIn(pastaEnvio);
        if (files + kDescritoresReservados > *room) {
            throw ETooManyArchives::forCount(files,
                                             *room > kDescritoresReservados ? *room - kDescritoresReservados : 0);
        }
    }

    // The archives are written side by side on worker threads, each by a writer of its own,
    // while the window keeps its events going.
    const unsigned threads = m_packingThreads != 0 ? m_packingThreads : std::thread::hardware_concurrency();
    const std::size_t writers = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(jobs.size(), 1));
    while (compactadores.size() < writers) {
        compactadores.push_back(m_makeZip());
    }
    std::vector<archive::TZipFile*> usados;
    for (const auto& compactador : compactadores) {
        usados.push_back(compactador.get());
    }
    runOnWorker(m_host, [&] {
        m_progress.startPacking(bytesToPack(jobs));
        packArchives(jobs, usados, pastaEnvio, [this](std::size_t bytes) {
            m_progress.packed(bytes);
            m_cancel.check(); // a cancel stops every writer at its next piece
        });
    });
    m_cancel.check();

    m_sleep(kPausaAntesDoEnvio);
    m_cancel.check();
    service::SendHooks hooks;
    hooks.onSent = [this](std::uint64_t sent, std::uint64_t total) { m_progress.sending(sent, total); };
    hooks.onRetry = [this](int attempt, int attempts, std::chrono::steady_clock::time_point at) {
        m_progress.retrying(attempt, attempts, at);
    };
    hooks.cancel = &m_cancel;
    const std::string reply = m_enviarArquivos(pastaEnvio, m_host.nomeText(), m_host.cpfText(), m_host, hooks);
    awake.reset(); // the send is over; the reply may wait for the user as long as it takes
    // The box appears with the overlay still up; the clean-up waits until it is dismissed.
    m_host.showInformation(reply);
}

} // namespace glb::backup
