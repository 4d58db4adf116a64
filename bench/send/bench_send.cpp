// The whole send of a generated installation, timed stage by stage, with the program's
// memory over the send and how long its window went without processing events.
//
//   bench_send [--megabytes 300] [--farms N] [--sink] [--compare] [--maker glb_make_sample] [--keep-sample]
//   bench_send --cancel packing|upload|stalled [--runs 5] [--megabytes M] [--maker ...] [--keep-sample]
//
// glb_make_sample writes an installation into a temporary WINEPREFIX-style folder. The real
// SendBackupCommand then runs in the real window (offscreen, with its wait overlay and its
// event processing while archives are written and the request is sent): it reads the farm
// table through TQuery, packs with TZipFile and uploads with EnviarArquivos over libcurl,
// through http_proxy, to `php -S 127.0.0.1:<port> vendor_proxy.php`, which answers for the
// vendor's host (with --sink the service reads the body and drops it unparsed). The staging
// folder lies beside this program file, as it does beside the real one.
//
// Stages are told apart from outside the command: a host that timestamps every call before
// handing it to the window, a TZipFile whose Open and Close are timestamped around the real
// ones, and a transport that timestamps the real CurlTransport's execute(). A 10 ms timer on
// the window's thread shows when that thread processed events; the longest gap between its
// ticks during packing and during the upload is the longest time the window stood still.
// Memory: the resident set just before the press, and its peak over the send (the kernel's
// high-water mark, reset at the press).
//
// With --compare the same installation is sent again with one archive writer at a time, for
// the packing's wall and CPU time against the writers side by side, and packed with `zip -6`
// and encoded with `base64` folder by folder, against the whole send.
//
// With --cancel the send is cancelled as the user cancels it, `--runs` times: once the phase is
// reached (packing: the window's share at 30 %, in the middle of packing; upload: 16 MiB
// of the request passed on by a relay in front of the service that passes on 4 MiB a second,
// a farm link's pace), a timer on the window's thread sends Escape to the window, the
// window asks "Cancelar o envio do backup?" and the box recorder answers "Sim". The clock
// runs from that answer to the information box that says the backup was not sent, which the
// command shows after its clean-up; the staging folder must be gone by then. With
// "stalled" the relay stops taking the request at 16 MiB, as a link that stalls, and Escape
// comes 1 s and run/runs of a second later (1.2 to 2 s over five runs), so that the answers
// fall at different moments between libcurl's progress calls, which come about once a second
// while nothing can be sent.

#include "app/MainWindow.h"
#include "app/MessageBoxes.h"
#include "archive/ZipFile.h"
#include "backup/Installation.h"
#include "backup/SendBackupCommand.h"
#include "backup/farmlist/FarmList.h"
#include "common/Platform.h"
#include "common/SendCancel.h"
#include "service/CurlTransport.h"
#include "service/ServiceContract.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/service/php/PhpService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::string_view kReplyText = "Backup recebido: %d arquivos";

/// User + system CPU seconds of this process so far.
double cpuSelf()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

/// One field of /proc/<pid>/status ("VmRSS", "VmHWM") in MiB, or -1.
double statusMiB(const std::string& pid, std::string_view field)
{
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == ':') {
            return static_cast<double>(std::strtol(line.c_str() + field.size() + 1, nullptr, 10)) / 1024.0;
        }
    }
    return -1;
}

double selfMiB(std::string_view field)
{
    return statusMiB("self", field);
}

/// Starts this process's peak resident set afresh at its current size.
void resetPeakRss()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

/// User + system CPU seconds of a process so far, from /proc/<pid>/stat.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields after it are counted from its ")".
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::vector<std::string> fields;
    for (std::size_t pos = close + 2; pos < stat.size();) {
        const auto end = stat.find(' ', pos);
        fields.push_back(stat.substr(pos, end - pos));
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    // fields[0] is field 3 (state); utime and stime are fields 14 and 15.
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) / ticks;
}

std::uint64_t folderBytes(const fs::path& folder)
{
    std::uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

/// Runs a program to its end with its output dropped; throws when it fails.
void runProgram(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(args[0] + " failed");
    }
}

struct Options
{
    unsigned megabytes = 300;
    unsigned farms = 0;
    bool sink = false;
    bool compare = false;
    std::string maker = GLB_MAKE_SAMPLE;
    bool keepSample = false;
    std::string cancel; ///< "packing", "upload" or "stalled": cancel there instead of sending
    unsigned runs = 5;  ///< cancelled sends
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--megabytes" && hasValue) {
            options.megabytes = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--farms" && hasValue) {
            options.farms = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--sink") {
            options.sink = true;
        } else if (arg == "--compare") {
            options.compare = true;
        } else if (arg == "--maker" && hasValue) {
            options.maker = argv[++i];
        } else if (arg == "--keep-sample") {
            options.keepSample = true;
        } else if (arg == "--cancel" && hasValue) {
            options.cancel = argv[++i];
        } else if (arg == "--runs" && hasValue) {
            options.runs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            throw std::runtime_error(
                "usage: bench_send [--megabytes M] [--farms N] [--sink] [--compare] [--maker PATH] "
                "[--keep-sample] [--cancel packing|upload|stalled] [--runs N]");
        }
    }
    if (!options.cancel.empty() && options.cancel != "packing" && options.cancel != "upload" &&
        options.cancel != "stalled") {
        throw std::runtime_error("--cancel takes packing, upload or stalled");
    }
    if (options.runs == 0) {
        throw std::runtime_error("--runs takes at least 1");
    }
    if (options.maker.empty()) {
        throw std::runtime_error("glb_make_sample was not built here: give --maker PATH");
    }
    return options;
}

/// The generated installation in a WINEPREFIX-style folder (drive C: is
/// <prefix>/dosdevices/c:), removed at the end unless it is to be kept.
class SampleInstallation
{
public:
    explicit SampleInstallation(const Options& options)
        : m_keep(options.keepSample)
    {
        char prefixTemplate[] = "/tmp/glb-bench-send-XXXXXX";
        if (mkdtemp(prefixTemplate) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        m_prefix = prefixTemplate;
        const fs::path driveC = m_prefix / "dosdevices" / "c:";
        fs::create_directories(driveC);
        setenv("WINEPREFIX", m_prefix.c_str(), 1);

        const auto start = Clock::now();
        std::vector<std::string> args = {options.maker, driveC.string(), "--megabytes",
                                         std::to_string(options.megabytes)};
        if (options.farms > 0) {
            args.insert(args.end(), {"--farms", std::to_string(options.farms)});
        }
        runProgram(args);
        m_writeSeconds = seconds(start, Clock::now());
        m_paths = glb::backup::SendBackupPaths::installed();
        m_bytes = folderBytes(m_paths.raizFazendas) + folderBytes(m_paths.pastaFinanceiro);
    }
    ~SampleInstallation()
    {
        std::error_code ec;
        if (!m_keep) {
            fs::remove_all(m_prefix, ec);
        }
    }
    SampleInstallation(const SampleInstallation&) = delete;
    SampleInstallation& operator=(const SampleInstallation&) = delete;

    const glb::backup::SendBackupPaths& paths() const noexcept { return m_paths; }
    std::uint64_t bytes() const noexcept { return m_bytes; }
    double writeSeconds() const noexcept { return m_writeSeconds; }

private:
    bool m_keep;
    fs::path m_prefix;
    glb::backup::SendBackupPaths m_paths;
    std::uint64_t m_bytes = 0;
    double m_writeSeconds = 0;
};

/// The vendor's host as the program meets it: `php -S` with vendor_proxy.php as its router,
/// reached through http_proxy.
glb::test::PhpService::Options vendorProxyOptions(const Options& options)
{
    glb::test::PhpService::Options service;
    service.script = GLB_VENDOR_PROXY_SCRIPT;
    service.environment = {{"GLB_REPLY_TEXT", std::string(kReplyText)}};
    if (options.sink) {
        service.environment.emplace_back("GLB_SINK", "1");
    }
    // One server process: the CPU and memory read from /proc are the whole service's.
    unsetenv("PHP_CLI_SERVER_WORKERS");
    return service;
}

/// The moments of one run, filled in by the host, the writer, the transport and the timer.
struct Timeline
{
    struct Mark
    {
        Clock::time_point at;
        double cpu = 0;
    };
    static Mark now() { return {Clock::now(), cpuSelf()}; }
    struct Archive
    {
        std::string name;
        Mark opened;
        Mark closed;
        std::size_t entries = 0;
        std::uint64_t inputBytes = 0;
        std::uint64_t outputBytes = 0;
    };

    Mark start;
    std::optional<Mark> overlayShown;
    std::optional<Mark> writerMade;
    std::optional<Mark> firstRow;
    std::mutex archivesMutex;
    std::vector<Archive> archives; // written on the writers' threads, read after the send
    std::optional<Mark> pauseStart;
    std::optional<Mark> pauseEnd;
    std::vector<Mark> uploadEvents; // the upload call's two event points
    std::optional<Mark> portMade;
    std::optional<Mark> sendStart;
    std::optional<Mark> sendEnd;
    std::optional<Mark> replyShown;
    std::optional<Mark> overlayHidden;
    Mark end;
    std::vector<Clock::time_point> ticks; // the window's 10 ms timer
    std::string reply;
    std::uint64_t requestBytes = 0;
    std::size_t responseBytes = 0;
    double serviceCpuSeconds = 0;
    double rssBeforeMiB = 0;
    double peakMiB = 0;

    // A cancelled send (--cancel). Where it was when the timer sent Escape, and the moments
    // from there to the information box that ends it.
    std::atomic<bool> uploading{false}; ///< the transport's exchange runs (on the upload's worker)
    std::string phaseAtCancel;          ///< "packing", "upload" or "other", when "Sim" was answered
    int percentAtCancel = -1;           ///< the window's share
    std::uint64_t stagedAtCancel = 0;   ///< archive bytes in the staging folder
    std::uint64_t relayedAtCancel = 0;  ///< request bytes passed on by the relay
    std::uint64_t handedAtCancel = 0;   ///< request bytes handed to libcurl
    std::optional<Mark> stalledAt;      ///< the relay stopped taking the request
    std::optional<Mark> escapeSent;
    std::optional<Mark> answeredSim; ///< the question box answered "Sim"; cancel() follows
    std::string question;
    std::optional<Mark> footerEnabled; ///< the clean-up's second step done
    std::optional<Mark> queryClosed;   ///< the farm list closed: the writers were released before
    std::optional<Mark> boxShown;      ///< the information box, shown after the clean-up
    std::string boxText;
    bool stagingGoneAtBox = false;
};

/// The window as the command's host, with every call timestamped; the form holds valid
/// entries, and the reply box is recorded instead of waiting for a user.
class TimedHost : public glb::backup::CommandHost
{
public:
    TimedHost(Timeline& timeline, glb::app::TfrmBackup& window)
        : m_timeline(timeline)
        , m_window(window)
    {
    }
    void processPendingEvents() override
    {
        if (m_timeline.pauseStart) {
            m_timeline.uploadEvents.push_back(Timeline::now());
        } else if (!m_timeline.firstRow) {
            m_timeline.firstRow = Timeline::now();
        }
        m_window.processPendingEvents();
    }
    void processEventsUntil(glb::StepEnd& end) override { m_window.processEventsUntil(end); }
    std::string nomeText() const override { return "Fazendeiro de Teste"; }
    std::string cpfText() const override { return "123.456.789-09"; }
    void showInformation(const std::string& text) override
    {
        m_timeline.replyShown = Timeline::now();
        m_timeline.reply = text;
        m_window.showInformation(text);
    }
    bool contratoChecked() const override { return true; }
    void setFocus(glb::backup::FormControl) override {}
    void mostrarAguarde(const std::string& mensagem) override
    {
        m_window.mostrarAguarde(mensagem);
        m_timeline.overlayShown = Timeline::now();
    }
    void followProgress(const glb::backup::SendProgress& progress) override
    {
        m_progress = &progress;
        m_window.followProgress(progress);
    }
    /// The progress the window follows, once the overlay is up.
    const glb::backup::SendProgress* progress() const noexcept { return m_progress; }
    void esconderAguarde() override
    {
        m_timeline.overlayHidden = Timeline::now();
        m_window.esconderAguarde();
    }
    void setFooterEnabled(bool enabled) override
    {
        m_window.setFooterEnabled(enabled);
        if (enabled) {
            m_timeline.footerEnabled = Timeline::now();
        }
    }

private:
    Timeline& m_timeline;
    glb::app::TfrmBackup& m_window;
    const glb::backup::SendProgress* m_progress = nullptr;
};

/// The real writer with its Open and Close timestamped; writers run side by side, each on its
/// own archive.
class TimedZipFile : public glb::archive::TZipFile
{
public:
    explicit TimedZipFile(Timeline& timeline)
        : m_timeline(timeline)
    {
    }
    void Open(const fs::path& fileName, glb::archive::TZipMode mode) override
    {
        m_archive = Timeline::Archive{};
        m_archive.name = fileName.filename().string();
        m_archive.opened = Timeline::now();
        m_path = fileName;
        TZipFile::Open(fileName, mode);
    }
    void Add(const fs::path& fileName, const std::string& archiveFileName,
             glb::archive::TZipCompression compression) override
    {
        TZipFile::Add(fileName, archiveFileName, compression);
        std::error_code ec;
        m_archive.entries += 1;
        m_archive.inputBytes += fs::file_size(fileName, ec);
    }
    void Close() override
    {
        const bool wasOpen = Mode() != glb::archive::TZipMode::zmClosed;
        TZipFile::Close();
        if (wasOpen) {
            m_archive.closed = Timeline::now();
            std::error_code ec;
            m_archive.outputBytes = fs::file_size(m_path, ec);
            const std::lock_guard lock(m_timeline.archivesMutex);
            m_timeline.archives.push_back(m_archive);
        }
    }

private:
    Timeline& m_timeline;
    fs::path m_path;
    Timeline::Archive m_archive;
};

/// The window's farm-list query with its close timestamped: the last close of a send is its
/// clean-up's.
class TimedQuery : public glb::backup::FarmQuery
{
public:
    TimedQuery(Timeline& timeline, glb::backup::FarmQuery& query)
        : m_timeline(timeline)
        , m_query(query)
    {
    }
    void close() override
    {
        m_query.close();
        m_timeline.queryClosed = Timeline::now();
    }
    void setDatabaseName(const fs::path& folder) override { m_query.setDatabaseName(folder); }
    void addPassword(const std::string& password) override { m_query.addPassword(password); }
    void setSql(const std::string& text) override { m_query.setSql(text); }
    void open() override { m_query.open(); }
    void first() override { m_query.first(); }
    void next() override { m_query.next(); }
    bool eof() const override { return m_query.eof(); }
    std::string fieldAsText(const std::string& name) const override { return m_query.fieldAsText(name); }

private:
    Timeline& m_timeline;
    glb::backup::FarmQuery& m_query;
};

/// The real libcurl transport with its exchange timestamped.
class TimedTransport : public glb::service::HttpTransport
{
public:
    TimedTransport(Timeline& timeline, pid_t service)
        : m_timeline(timeline)
        , m_service(service)
    {
    }
    void setUrl(const std::string& url) override { m_curl.setUrl(url); }
    const std::string& url() const override { return m_curl.url(); }
    const glb::service::UrlParts& urlParts() const override { return m_curl.urlParts(); }
    void setSoapAction(const std::string& action) override { m_curl.setSoapAction(action); }
    const std::string& soapAction() const override { return m_curl.soapAction(); }
    void setSendHooks(const glb::service::SendHooks& hooks) override { m_curl.setSendHooks(hooks); }
    using HttpTransport::execute;
    void execute(glb::service::RequestBody& request, std::string& response) override
    {
        m_timeline.requestBytes = request.size();
        const double cpuBefore = cpuSeconds(m_service);
        m_timeline.sendStart = Timeline::now();
        m_timeline.uploading = true;
        const auto ended = [this] {
            m_timeline.sendEnd = Timeline::now();
            m_timeline.uploading = false;
        };
        try {
            m_curl.execute(request, response);
        } catch (...) {
            ended(); // a cancel ends the exchange with ESendCancelled
            throw;
        }
        ended();
        m_timeline.serviceCpuSeconds = cpuSeconds(m_service) - cpuBefore;
        m_timeline.responseBytes = response.size();
    }

private:
    Timeline& m_timeline;
    pid_t m_service;
    glb::service::CurlTransport m_curl;
};

/// A TCP relay on 127.0.0.1 in front of the service, as a farm's link: what the program sends
/// is passed on at a fixed pace, what comes back goes at once. One connection at a time, on a
/// thread of its own; the bytes passed on are counted over all of them. A connection ends when
/// either side closes it (the program's close is seen at once, whatever it had sent that was
/// not passed on yet).
class PacedRelay
{
public:
    PacedRelay(std::uint16_t upstreamPort, std::uint64_t bytesPerSecond)
        : m_upstreamPort(upstreamPort)
        , m_rate(bytesPerSecond)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 4) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::pipe2(m_wake, O_CLOEXEC) != 0) {
            throw std::runtime_error("cannot start the relay");
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~PacedRelay()
    {
        (void)!::write(m_wake[1], "x", 1);
        m_thread.join();
        ::close(m_listener);
        ::close(m_wake[0]);
        ::close(m_wake[1]);
    }
    PacedRelay(const PacedRelay&) = delete;
    PacedRelay& operator=(const PacedRelay&) = delete;

    /// "http://127.0.0.1:<port>", for the program's http_proxy.
    std::string address() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::uint64_t passedOn() const noexcept { return m_passedOn.load(); }
    /// Takes nothing more from the program while held, as a link that stalls.
    void hold(bool held) noexcept { m_held = held; }

private:
    static constexpr std::size_t kPiece = 65536;

    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    static bool sendAll(int socket, const char* data, std::size_t size)
    {
        while (size > 0) {
            const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                return false;
            }
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    void run()
    {
        for (;;) {
            pollfd fds[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(m_upstreamPort);
            const bool connected =
                upstream >= 0 && ::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            const bool stop = connected && !relay(client, upstream);
            if (upstream >= 0) {
                ::close(upstream);
            }
            ::close(client);
            if (stop) {
                return;
            }
        }
    }

    /// Relays one connection to its end; false when the relay is to stop.
    bool relay(int client, int upstream)
    {
        const Clock::time_point start = Clock::now();
        std::uint64_t passed = 0;
        std::vector<char> buffer(kPiece);
        for (;;) {
            // The link's pace: the program's next bytes are taken once these were due.
            const Clock::time_point due = start + std::chrono::microseconds(passed * 1000000 / m_rate);
            const auto ahead = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
            const bool held = m_held;
            const bool taking = !held && ahead <= 0;
            pollfd fds[3] = {{upstream, POLLIN, 0},
                             {m_wake[0], POLLIN, 0},
                             {client, static_cast<short>(POLLRDHUP | (taking ? POLLIN : 0)), 0}};
            const int timeout = taking ? -1 : held ? 10 : static_cast<int>(ahead);
            if (::poll(fds, 3, timeout) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return true;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            if (fds[0].revents != 0) {
                const ssize_t got = ::recv(upstream, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !sendAll(client, buffer.data(), static_cast<std::size_t>(got))) {
                    return true;
                }
            }
            if ((fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                return true; // the program closed the connection
            }
            if ((fds[2].revents & POLLIN) != 0) {
                const ssize_t got = ::recv(client, buffer.data(), buffer.size(), 0);
                if (got <= 0 || !sendAll(upstream, buffer.data(), static_cast<std::size_t>(got))) {
                    return true;
                }
                passed += static_cast<std::uint64_t>(got);
                m_passedOn += static_cast<std::uint64_t>(got);
            }
        }
    }

    std::uint16_t m_upstreamPort;
    std::uint64_t m_rate;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::uint16_t m_port = 0;
    std::atomic<std::uint64_t> m_passedOn{0};
    std::atomic<bool> m_held{false};
    std::thread m_thread;
};

/// When a send is cancelled (--cancel): once packing has reached the window's share
/// `atPercent`, or once the relay has passed on `atRelayed` bytes of the request; with
/// `stallFor`, the relay then takes nothing more, and the cancel comes that much later.
struct CancelPlan
{
    bool duringUpload = false;
    int atPercent = 30;
    std::uint64_t atRelayed = std::uint64_t{16} << 20;
    std::chrono::milliseconds stallFor{0};
    PacedRelay* relay = nullptr;
    fs::path pastaEnvio;
};

/// Presses "&Enviar" once, through the real command in the real window, and fills `timeline`.
/// With a `plan`, the window is the command's too, and its timer sends Escape once the plan's
/// moment has come; the question box is answered "Sim".
void sendOnce(const SampleInstallation& installation, const glb::test::PhpService& service, unsigned packingThreads,
              Timeline& timeline, const CancelPlan* plan = nullptr)
{
    glb::app::TfrmBackup window;
    window.show();
    TimedHost host(timeline, window);
    TimedQuery query(timeline, window.qryGlebarium());
    glb::backup::SendBackupCommand command(
        host, query, installation.paths(), [] { return true; },
        [&timeline] {
            auto writer = std::make_unique<TimedZipFile>(timeline);
            if (!timeline.writerMade) {
                timeline.writerMade = Timeline::now();
            }
            return writer;
        },
        [&](const fs::path& pasta, const std::string& nome, const std::string& cpf, glb::EventPump& events,
            const glb::service::SendHooks& hooks) {
            return glb::service::EnviarArquivos(
                pasta, nome, cpf, events,
                [&] {
                    auto port = glb::service::GetBackupGlebariumPort(
                        false, {}, nullptr, [&] { return std::make_unique<TimedTransport>(timeline, service.pid()); });
                    timeline.portMade = Timeline::now();
                    return port;
                },
                hooks);
        },
        [&timeline](std::chrono::milliseconds pause) {
            timeline.pauseStart = Timeline::now();
            std::this_thread::sleep_for(pause);
            timeline.pauseEnd = Timeline::now();
        });

    command.setPackingThreads(packingThreads);
    timeline.ticks.reserve(100000);
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&timeline] { timeline.ticks.push_back(Clock::now()); });
    ticker.start(10);
    QApplication::processEvents();

    glb::app::BoxRecorder boxes; // the reply box is dismissed at once
    QTimer trigger;
    if (plan != nullptr) {
        window.setSendCommand(&command);
        boxes.setAnswer([&timeline](const glb::app::ShownBox& question) {
            timeline.answeredSim = Timeline::now();
            timeline.question = question.text.toStdString();
            timeline.phaseAtCancel = timeline.uploading                          ? "upload"
                                     : timeline.firstRow && !timeline.pauseStart ? "packing"
                                                                                 : "other";
            return true; // "Sim": the window cancels the send
        });
        boxes.setOnShow([&timeline, plan](const glb::app::ShownBox& box) {
            timeline.boxShown = Timeline::now();
            std::error_code ec;
            timeline.stagingGoneAtBox = !fs::exists(fs::symlink_status(plan->pastaEnvio, ec));
            timeline.boxText = box.text.toStdString();
        });
        // The relay's count goes on over the runs; this run's bytes count from here.
        const std::uint64_t relayedBefore = plan->relay != nullptr ? plan->relay->passedOn() : 0;
        if (plan->relay != nullptr) {
            plan->relay->hold(false);
        }
        trigger.setTimerType(Qt::PreciseTimer);
        QObject::connect(&trigger, &QTimer::timeout, [&, relayedBefore] {
            const glb::backup::SendProgress* progress = host.progress();
            if (progress == nullptr || timeline.escapeSent) {
                return;
            }
            const int percent = progress->percent().value_or(0);
            const std::uint64_t relayed = plan->relay != nullptr ? plan->relay->passedOn() - relayedBefore : 0;
            const bool reached = plan->duringUpload
                                     ? relayed >= plan->atRelayed
                                     : timeline.firstRow && !timeline.pauseStart && percent >= plan->atPercent;
            if (!reached) {
                return;
            }
            if (plan->stallFor.count() > 0) {
                if (!timeline.stalledAt) {
                    plan->relay->hold(true);
                    timeline.stalledAt = Timeline::now();
                }
                if (Clock::now() - timeline.stalledAt->at < plan->stallFor) {
                    return;
                }
            }
            timeline.percentAtCancel = percent;
            timeline.stagedAtCancel = folderBytes(plan->pastaEnvio);
            timeline.relayedAtCancel = relayed;
            timeline.handedAtCancel = progress->requestSent();
            // As the user's key: to the window's focused control, through the application.
            QWidget* target = window.focusWidget() != nullptr ? window.focusWidget() : &window;
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
            timeline.escapeSent = Timeline::now();
            QApplication::sendEvent(target, &press);
            QApplication::sendEvent(target, &release);
        });
        trigger.start(10);
    }
    timeline.rssBeforeMiB = selfMiB("VmRSS");
    resetPeakRss();
    timeline.start = Timeline::now();
    command.run();
    timeline.end = Timeline::now();
    timeline.peakMiB = selfMiB("VmHWM");
    trigger.stop();
    ticker.stop();
}

/// The longest time between `from` and `to` in which the window's thread processed no events.
double longestGapMs(const std::vector<Clock::time_point>& ticks, Clock::time_point from, Clock::time_point to)
{
    Clock::time_point last = from;
    double longest = 0;
    for (const Clock::time_point tick : ticks) {
        if (tick <= from) {
            continue;
        }
        if (tick >= to) {
            break;
        }
        longest = std::max(longest, seconds(last, tick) * 1000.0);
        last = tick;
    }
    return std::max(longest, seconds(last, to) * 1000.0);
}

/// User + system CPU seconds of the children that have ended so far.
double cpuChildren()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto toSeconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

/// Wall and CPU seconds of the standard tools doing what the send does locally: `zip -6` of
/// the plain files of each folder that the send packs, one after the other, then `base64` of
/// each archive.
struct ToolsTimes
{
    double zipWall = 0;
    double zipCpu = 0;
    double base64Wall = 0;
    double base64Cpu = 0;
};

ToolsTimes timeTools(const SampleInstallation& installation)
{
    const fs::path out = fs::temp_directory_path() / ("glb-bench-send-tools-" + std::to_string(getpid()));
    fs::create_directories(out);
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(installation.paths().raizFazendas)) {
        if (entry.is_directory()) {
            folders.push_back(entry.path());
        }
    }
    folders.push_back(installation.paths().pastaFinanceiro);

    ToolsTimes times;
    std::vector<fs::path> archives;
    auto start = Clock::now();
    double cpu = cpuChildren();
    for (const fs::path& folder : folders) {
        std::vector<std::string> args = {"zip", "-6", "-q", "-j",
                                         (out / (folder.filename().string() + ".zip")).string()};
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.is_regular_file()) {
                args.push_back(entry.path().string());
            }
        }
        if (args.size() > 5) {
            runProgram(args);
            archives.push_back(args[4]);
        }
    }
    times.zipWall = seconds(start, Clock::now());
    times.zipCpu = cpuChildren() - cpu;
    start = Clock::now();
    cpu = cpuChildren();
    for (const fs::path& archive : archives) {
        runProgram({"base64", archive.string()});
    }
    times.base64Wall = seconds(start, Clock::now());
    times.base64Cpu = cpuChildren() - cpu;
    fs::remove_all(out);
    return times;
}

std::string megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

/// One line of the table: wall and CPU seconds between two marks.
void row(const char* stage, const Timeline::Mark& from, const Timeline::Mark& to, const std::string& note = {})
{
    std::printf("%-36s %9.3f %9.3f  %s\n", stage, seconds(from.at, to.at), to.cpu - from.cpu, note.c_str());
}

bool ranThroughEveryStage(const Timeline& t)
{
    return t.overlayShown && t.writerMade && t.pauseStart && t.pauseEnd && t.portMade && t.sendStart && t.sendEnd &&
           t.replyShown && t.overlayHidden;
}

void printStages(const Timeline& t, const std::string& servicePid)
{
    std::uint64_t packedBytes = 0;
    for (const auto& archive : t.archives) {
        packedBytes += archive.inputBytes;
    }
    std::printf("%-36s %9s %9s  %s\n", "stage", "wall s", "CPU s", "note");
    const Timeline::Mark packingStart = t.firstRow ? *t.firstRow : *t.pauseStart;
    row("preparation (checks, staging)", t.start, *t.overlayShown);
    row("overlay, footer, writer", *t.overlayShown, *t.writerMade);
    row("farm list query", *t.writerMade, packingStart);
    std::vector<Timeline::Archive> archives = t.archives;
    std::sort(archives.begin(), archives.end(), [](const auto& a, const auto& b) { return a.opened.at < b.opened.at; });
    for (const auto& archive : archives) {
        row(("  packing " + archive.name).c_str(), archive.opened, archive.closed,
            std::to_string(archive.entries) + " files, " + megabytes(archive.inputBytes) + " -> " +
                megabytes(archive.outputBytes));
    }
    char note[160];
    std::snprintf(note, sizeof note, "%.1f MB/s of files per CPU second",
                  static_cast<double>(packedBytes) / 1e6 / (t.pauseStart->cpu - packingStart.cpu));
    row("packing, total", packingStart, *t.pauseStart, note);
    row("pause", *t.pauseStart, *t.pauseEnd, "the real 500 ms sleep");
    const Timeline::Mark listed = t.uploadEvents.size() >= 2 ? t.uploadEvents[1] : *t.pauseEnd;
    row("upload: listing the staging folder", *t.pauseEnd, listed);
    row("upload: service proxy", listed, *t.portMade);
    row("upload: opening the request", *t.portMade, *t.sendStart, "files opened and counted");
    std::snprintf(note, sizeof note, "files read and encoded while sent; php CPU %.3f s, php peak RSS %.1f MiB",
                  t.serviceCpuSeconds, statusMiB(servicePid, "VmHWM"));
    row("upload: sending + service", *t.sendStart, *t.sendEnd, note);
    row("upload: decoding + proxy release", *t.sendEnd, *t.replyShown,
        std::to_string(t.responseBytes) + " bytes of response");
    row("clean-up", *t.replyShown, t.end, "reply box recorded; overlay, footer, writer, query, staging");
    row("whole send", t.start, t.end);
}

void printWindowAndMemory(const Timeline& t, std::uint64_t archiveBytes)
{
    const Clock::time_point packingStart = t.firstRow ? t.firstRow->at : t.pauseStart->at;
    std::printf("\nwindow: longest time without processing events, packing %.1f ms, upload %.1f ms "
                "(10 ms timer, %zu ticks; the 500 ms pause processes none by design)\n",
                longestGapMs(t.ticks, packingStart, t.pauseStart->at),
                longestGapMs(t.ticks, t.pauseEnd->at, t.replyShown->at), t.ticks.size());
    std::printf("memory: resident %.1f MiB before the press, peak %.1f MiB during the send: +%.1f MiB "
                "(%.4f bytes per staged byte)\n",
                t.rssBeforeMiB, t.peakMiB, t.peakMiB - t.rssBeforeMiB,
                (t.peakMiB - t.rssBeforeMiB) * 1048576.0 / static_cast<double>(archiveBytes));
}

/// The packing's wall and CPU seconds: from the first farm row to the pause.
std::pair<double, double> packingTimes(const Timeline& t)
{
    const Timeline::Mark start = t.firstRow ? *t.firstRow : *t.pauseStart;
    return {seconds(start.at, t.pauseStart->at), t.pauseStart->cpu - start.cpu};
}

/// Sends again with one writer at a time, and runs zip -6 and base64 over the same folders.
void printComparison(const SampleInstallation& installation, const glb::test::PhpService& service,
                     const Timeline& sideBySide, unsigned threads)
{
    Timeline alone;
    sendOnce(installation, service, 1, alone);
    const auto [wall, cpu] = packingTimes(sideBySide);
    const auto [wallAlone, cpuAlone] = packingTimes(alone);
    std::printf("\npacking with %u writers side by side: %.3f s wall, %.3f s CPU; with one writer: %.3f s wall, "
                "%.3f s CPU; wall %.2f of one writer's\n",
                threads, wall, cpu, wallAlone, cpuAlone, wall / wallAlone);
    const ToolsTimes tools = timeTools(installation);
    const double send = seconds(sideBySide.start.at, sideBySide.end.at);
    const double toolsWall = tools.zipWall + tools.base64Wall;
    std::printf("whole send %.3f s wall, %.3f s CPU; zip -6 then base64 of the same folders %.3f s wall (zip %.3f, "
                "base64 %.3f), %.3f s CPU: the send takes %.2f of their time, and sends as well\n",
                send, sideBySide.end.cpu - sideBySide.start.cpu, toolsWall, tools.zipWall, tools.base64Wall,
                tools.zipCpu + tools.base64Cpu, send / toolsWall);
}

double milliseconds(const Timeline::Mark& from, const Timeline::Mark& to)
{
    return seconds(from.at, to.at) * 1000.0;
}

/// "median X ms, max Y ms" of `values`.
std::string medianAndMax(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    char text[64];
    std::snprintf(text, sizeof text, "median %7.1f ms, max %7.1f ms", median, values.back());
    return text;
}

/// The request bytes a relay at a farm link's pace passes on a second.
constexpr std::uint64_t kLinkBytesPerSecond = std::uint64_t{4} << 20;

/// Cancels `options.runs` sends during packing or during the upload (its link stalled or
/// not), each as the user does, and prints from "Sim" to the information box that ends the send.
int cancelBenchmark(const Options& options, const SampleInstallation& installation,
                    const glb::test::PhpService& service)
{
    CancelPlan plan;
    plan.duringUpload = options.cancel != "packing";
    const bool stalled = options.cancel == "stalled";
    const std::string phase = plan.duringUpload ? "upload" : "packing";
    plan.pastaEnvio = installation.paths().executableDirectory / std::string(glb::backup::kPastaEnvio);
    std::optional<PacedRelay> relay;
    if (plan.duringUpload) {
        relay.emplace(service.port(), kLinkBytesPerSecond);
        setenv("http_proxy", relay->address().c_str(), 1);
        plan.relay = &*relay;
    }
    std::printf("cancel during %s%s: installation of %s (%s), %u runs; Escape sent once %s\n", phase.c_str(),
                stalled ? ", link stalled" : "", megabytes(installation.bytes()).c_str(),
                options.farms > 0 ? "farms as asked" : "sample's farms", options.runs,
                stalled             ? "the relay (4 MiB/s) has passed on 16 MiB of the request and then stalled for "
                                      "1 s and run/runs of a second"
                : plan.duringUpload ? "the relay (4 MiB/s) has passed on 16 MiB of the request"
                                    : "the window's share is at 30 %");
    std::printf("%-3s %-47s %7s %11s %7s %7s %7s %7s %8s\n", "run", "where the send was", "Esc-Sim", "Sim-stopped",
                plan.duringUpload ? "(curl)" : "", "overlay", "writers", "staging", "Sim-box");

    const std::string expected = glb::ESendCancelled::beforeRequestSent().message();
    std::vector<double> stopped;
    std::vector<double> exchanges;
    std::vector<double> overlays;
    std::vector<double> writers;
    std::vector<double> stagings;
    std::vector<double> totals;
    for (unsigned run = 1; run <= options.runs; ++run) {
        if (stalled) {
            plan.stallFor = std::chrono::milliseconds(1000 + 1000 * run / options.runs);
        }
        Timeline t;
        sendOnce(installation, service, 0, t, &plan);
        if (!t.escapeSent || !t.answeredSim || !t.overlayHidden || !t.footerEnabled || !t.queryClosed || !t.boxShown) {
            std::fprintf(stderr, "run %u: the send was not cancelled (%s)\n", run,
                         t.reply.empty() ? "no box" : t.reply.c_str());
            return 1;
        }
        if (t.question != "Cancelar o envio do backup?") {
            std::fprintf(stderr, "run %u: asked \"%s\"\n", run, t.question.c_str());
            return 1;
        }
        if (t.phaseAtCancel != phase) {
            std::fprintf(stderr, "run %u: cancelled during %s, not %s\n", run, t.phaseAtCancel.c_str(), phase.c_str());
            return 1;
        }
        if (t.boxText != expected || !t.stagingGoneAtBox) {
            std::fprintf(stderr, "run %u: box \"%s\", staging folder %s\n", run, t.boxText.c_str(),
                         t.stagingGoneAtBox ? "gone" : "still there");
            return 1;
        }
        char where[96];
        if (stalled && t.stalledAt) {
            std::snprintf(where, sizeof where, "%.1f MiB relayed, %.1f MB to curl, %.2f s stalled",
                          static_cast<double>(t.relayedAtCancel) / 1048576.0,
                          static_cast<double>(t.handedAtCancel) / 1e6, seconds(t.stalledAt->at, t.escapeSent->at));
        } else if (plan.duringUpload) {
            std::snprintf(where, sizeof where, "%d %%, %.1f MiB relayed, %.1f of %.1f MB to curl", t.percentAtCancel,
                          static_cast<double>(t.relayedAtCancel) / 1048576.0,
                          static_cast<double>(t.handedAtCancel) / 1e6, static_cast<double>(t.requestBytes) / 1e6);
        } else {
            std::snprintf(where, sizeof where, "%d %%, %s of archives staged", t.percentAtCancel,
                          megabytes(t.stagedAtCancel).c_str());
        }
        stopped.push_back(milliseconds(*t.answeredSim, *t.overlayHidden));
        overlays.push_back(milliseconds(*t.overlayHidden, *t.footerEnabled));
        writers.push_back(milliseconds(*t.footerEnabled, *t.queryClosed));
        stagings.push_back(milliseconds(*t.queryClosed, *t.boxShown));
        totals.push_back(milliseconds(*t.answeredSim, *t.boxShown));
        char exchange[16] = "";
        if (plan.duringUpload && t.sendEnd) {
            exchanges.push_back(milliseconds(*t.answeredSim, *t.sendEnd));
            std::snprintf(exchange, sizeof exchange, "%.1f", exchanges.back());
        }
        std::printf("%-3u %-47s %7.1f %11.1f %7s %7.1f %7.1f %7.1f %8.1f\n", run, where,
                    milliseconds(*t.escapeSent, *t.answeredSim), stopped.back(), exchange, overlays.back(),
                    writers.back(), stagings.back(), totals.back());
    }
    std::printf("(ms. Esc-Sim: from the key to the answer. Sim-stopped: from the answer to the clean-up's first "
                "step, once the work has ended%s. The clean-up: overlay: overlay hidden and footer enabled; writers: "
                "writers released and farm list closed; staging: staging folder removed, to the information box)\n",
                plan.duringUpload ? "; (curl): to the end of libcurl's exchange" : "");
    std::printf("Sim to the end of the clean-up: %s; goal under 1000 ms: %s\n", medianAndMax(totals).c_str(),
                *std::max_element(totals.begin(), totals.end()) < 1000.0 ? "met" : "NOT met");
    std::printf("  work stopped:                 %s\n", medianAndMax(stopped).c_str());
    if (!exchanges.empty()) {
        std::printf("  libcurl's exchange ended:     %s\n", medianAndMax(exchanges).c_str());
    }
    std::printf("  overlay and footer:           %s\n", medianAndMax(overlays).c_str());
    std::printf("  writers and farm list:        %s\n", medianAndMax(writers).c_str());
    std::printf("  staging folder removed:       %s\n", medianAndMax(stagings).c_str());
    std::printf("staging folder gone and \"%s\" shown after every run\n", expected.c_str());
    return 0;
}

int benchmark(const Options& options)
{
    const SampleInstallation installation(options);
    const glb::test::PhpService service(vendorProxyOptions(options));
    // libcurl reads the proxy settings from the environment when a transfer starts.
    setenv("http_proxy", service.address().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    glb::service::RegisterBackupGlebariumTypes();
    if (!options.cancel.empty()) {
        return cancelBenchmark(options, installation, service);
    }

    const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    Timeline timeline;
    sendOnce(installation, service, 0, timeline);
    if (!ranThroughEveryStage(timeline)) {
        std::fprintf(stderr, "the send did not run through every stage\n");
        return 1;
    }

    std::uint64_t archiveBytes = 0;
    for (const auto& archive : timeline.archives) {
        archiveBytes += archive.outputBytes;
    }
    std::printf("whole send: installation of %s (%s), %zu archives of %s, request body %s%s\n",
                megabytes(installation.bytes()).c_str(), options.farms > 0 ? "farms as asked" : "sample's farms",
                timeline.archives.size(), megabytes(archiveBytes).c_str(), megabytes(timeline.requestBytes).c_str(),
                options.sink ? ", service drops the body unread" : "");
    std::printf("sample written in %.1f s (not part of the send); %u archive writers side by side\n\n",
                installation.writeSeconds(), threads);
    printStages(timeline, std::to_string(service.pid()));
    printWindowAndMemory(timeline, archiveBytes);
    std::printf("reply: %s\n", timeline.reply.c_str());

    const std::string expected = options.sink
                                     ? std::to_string(timeline.requestBytes) + " bytes"
                                     : "Backup recebido: " + std::to_string(timeline.archives.size()) + " arquivos";
    if (timeline.reply != expected) {
        std::fprintf(stderr, "unexpected reply, wanted \"%s\"\n", expected.c_str());
        return 1;
    }
    std::error_code ec;
    const fs::path pastaEnvio = installation.paths().executableDirectory / std::string(glb::backup::kPastaEnvio);
    if (fs::exists(fs::symlink_status(pastaEnvio, ec))) {
        std::fprintf(stderr, "the staging folder %s is still there\n", pastaEnvio.c_str());
        return 1;
    }
    if (options.compare) {
        printComparison(installation, service, timeline, threads);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    try {
        return benchmark(parse(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_send: %s\n", error.what());
        return 1;
    }
}
