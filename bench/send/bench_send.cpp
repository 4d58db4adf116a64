// The whole send of a generated installation, timed stage by stage.
//
//   bench_send [--megabytes 300] [--farms N] [--maker glb_make_sample] [--keep-sample]
//
// glb_make_sample writes an installation into a temporary WINEPREFIX-style folder; the
// real SendBackupCommand then packs it with TZipFile, reads the farm table through TQuery
// and uploads the staging folder with EnviarArquivos over libcurl, through http_proxy, to
// `php -S 127.0.0.1:<port> vendor_proxy.php`, which answers for the vendor's host. The
// staging folder lies beside this program file, as it does beside the real one.
//
// Stages are told apart from outside the command: a CommandHost that timestamps every call,
// a TZipFile whose Open and Close are timestamped around the real ones, and a transport that
// timestamps the real CurlTransport's execute(). The php server's CPU time over the exchange
// is read from /proc, as its share of the sending. Prints one table: stage, seconds, this
// process's peak RSS at the end of the stage (getrusage), and the php server's peak RSS.

#include "archive/ZipFile.h"
#include "backup/CommandHost.h"
#include "backup/FarmList.h"
#include "backup/Installation.h"
#include "backup/SendBackupCommand.h"
#include "common/Platform.h"
#include "service/CurlTransport.h"
#include "service/ServiceContract.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <signal.h>
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

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

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

/// One field of /proc/<pid>/status in KiB, or -1.
long statusKb(pid_t pid, std::string_view field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
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
    std::size_t pos = close + 2;
    while (pos < stat.size()) {
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

/// Runs a program to its end; throws when it fails.
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

/// `php -S` on 127.0.0.1 with vendor_proxy.php as its router, from construction until
/// destruction; ready once it accepts a connection.
class VendorProxy
{
public:
    explicit VendorProxy(const std::vector<std::pair<std::string, std::string>>& environment)
    {
        m_port = freePort();
        std::vector<std::string> args = {"php",
                                         "-d",
                                         "post_max_size=2G",
                                         "-d",
                                         "memory_limit=4G",
                                         "-S",
                                         "127.0.0.1:" + std::to_string(m_port),
                                         GLB_VENDOR_PROXY_SCRIPT};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        // One server process: the CPU and memory read from /proc are the whole service's.
        unsetenv("PHP_CLI_SERVER_WORKERS");
        for (const auto& [name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        m_pid = fork();
        if (m_pid < 0) {
            throw std::runtime_error("fork failed");
        }
        if (m_pid == 0) {
            const int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, STDIN_FILENO);
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
            execvp("php", argv.data());
            _exit(127);
        }
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!accepts(m_port)) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                throw std::runtime_error("php -S ended before it listened (php-cli and php-soap installed?)");
            }
            if (Clock::now() > deadline) {
                throw std::runtime_error("php -S did not listen within 20 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ~VendorProxy()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    VendorProxy(const VendorProxy&) = delete;
    VendorProxy& operator=(const VendorProxy&) = delete;

    pid_t pid() const noexcept { return m_pid; }
    std::string address() const { return "http://127.0.0.1:" + std::to_string(m_port); }

private:
    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    static std::uint16_t freePort()
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("no free port on 127.0.0.1");
        }
        close(fd);
        return ntohs(address.sin_port);
    }
    static bool accepts(std::uint16_t port)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(port);
        const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return ok;
    }

    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

/// The moments of one run, filled in by the host, the writer and the transport.
struct Timeline
{
    struct Mark
    {
        Clock::time_point at;
        double cpu = 0;
        double rss = 0;
    };
    static Mark now() { return {Clock::now(), cpuSelf(), peakRssMiB()}; }
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
    std::optional<Mark> firstPackingEvent;
    std::vector<Archive> archives;
    std::optional<Mark> pauseStart;
    std::optional<Mark> pauseEnd;
    std::vector<Mark> uploadEvents; // the upload call's two points
    std::optional<Mark> portMade;
    std::optional<Mark> sendStart;
    std::optional<Mark> sendEnd;
    std::optional<Mark> replyShown;
    std::optional<Mark> replyDismissed;
    std::optional<Mark> overlayHidden;
    Mark end;
    std::string reply;
    std::size_t requestBytes = 0;
    std::size_t responseBytes = 0;
    double serviceCpuSeconds = 0;
};

/// The window, without a window: every call is timestamped, the form holds valid entries.
class BenchHost : public glb::backup::CommandHost
{
public:
    explicit BenchHost(Timeline& timeline)
        : m_timeline(timeline)
    {
    }
    void processPendingEvents() override
    {
        if (!m_timeline.pauseStart) {
            if (!m_timeline.firstPackingEvent) {
                m_timeline.firstPackingEvent = Timeline::now();
            }
        } else {
            m_timeline.uploadEvents.push_back(Timeline::now());
        }
    }
    std::string nomeText() const override { return "Fazendeiro de Teste"; }
    std::string cpfText() const override { return "123.456.789-09"; }
    void showInformation(const std::string& text) override
    {
        m_timeline.replyShown = Timeline::now();
        m_timeline.reply = text;
        m_timeline.replyDismissed = Timeline::now();
    }
    bool contratoChecked() const override { return true; }
    void setFocus(glb::backup::FormControl) override {}
    void mostrarAguarde(const std::string&) override { m_timeline.overlayShown = Timeline::now(); }
    void esconderAguarde() override { m_timeline.overlayHidden = Timeline::now(); }
    void setFooterEnabled(bool) override {}
    // The service is on 127.0.0.1: the route check would only measure the machine's network.
    bool conectadoInternet() override { return true; }

private:
    Timeline& m_timeline;
};

/// The real writer with its Open and Close timestamped.
class TimedZipFile : public glb::archive::TZipFile
{
public:
    explicit TimedZipFile(Timeline& timeline)
        : m_timeline(timeline)
    {
    }
    void Open(const fs::path& fileName, glb::archive::TZipMode mode) override
    {
        Timeline::Archive archive;
        archive.name = fileName.filename().string();
        archive.opened = Timeline::now();
        m_path = fileName;
        m_timeline.archives.push_back(archive);
        TZipFile::Open(fileName, mode);
    }
    void Add(const fs::path& fileName, const std::string& archiveFileName,
             glb::archive::TZipCompression compression) override
    {
        TZipFile::Add(fileName, archiveFileName, compression);
        std::error_code ec;
        m_timeline.archives.back().entries += 1;
        m_timeline.archives.back().inputBytes += fs::file_size(fileName, ec);
    }
    void Close() override
    {
        const bool wasOpen = Mode() != glb::archive::TZipMode::zmClosed;
        TZipFile::Close();
        if (wasOpen) {
            Timeline::Archive& archive = m_timeline.archives.back();
            archive.closed = Timeline::now();
            std::error_code ec;
            archive.outputBytes = fs::file_size(m_path, ec);
        }
    }

private:
    Timeline& m_timeline;
    fs::path m_path;
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
    void execute(std::string_view request, std::string& response) override
    {
        m_timeline.requestBytes = request.size();
        const double cpuBefore = cpuSeconds(m_service);
        m_timeline.sendStart = Timeline::now();
        m_curl.execute(request, response);
        m_timeline.sendEnd = Timeline::now();
        m_timeline.serviceCpuSeconds = cpuSeconds(m_service) - cpuBefore;
        m_timeline.responseBytes = response.size();
    }

private:
    Timeline& m_timeline;
    pid_t m_service;
    glb::service::CurlTransport m_curl;
};

/// One line of the table: wall and CPU seconds between two marks, peak RSS at the second.
void row(const char* stage, const Timeline::Mark& from, const Timeline::Mark& to, const std::string& note = {})
{
    std::printf("%-36s %9.3f %9.3f %13.1f  %s\n", stage, seconds(from.at, to.at), to.cpu - from.cpu, to.rss,
                note.c_str());
}

std::string megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

struct Options
{
    unsigned megabytes = 300;
    unsigned farms = 0;
    std::string maker = GLB_MAKE_SAMPLE;
    bool keepSample = false;
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
        } else if (arg == "--maker" && hasValue) {
            options.maker = argv[++i];
        } else if (arg == "--keep-sample") {
            options.keepSample = true;
        } else {
            throw std::runtime_error("usage: bench_send [--megabytes M] [--farms N] [--maker PATH] [--keep-sample]");
        }
    }
    if (options.maker.empty()) {
        throw std::runtime_error("glb_make_sample was not built here: give --maker PATH");
    }
    return options;
}

int benchmark(const Options& options)
{
    // A WINEPREFIX-style folder: drive C: is <prefix>/dosdevices/c:.
    char prefixTemplate[] = "/tmp/glb-bench-send-XXXXXX";
    if (mkdtemp(prefixTemplate) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    const fs::path prefix = prefixTemplate;
    struct RemovePrefix
    {
        fs::path path;
        bool keep;
        ~RemovePrefix()
        {
            std::error_code ec;
            if (!keep) {
                fs::remove_all(path, ec);
            }
        }
    } removePrefix{prefix, options.keepSample};
    const fs::path driveC = prefix / "dosdevices" / "c:";
    fs::create_directories(driveC);
    setenv("WINEPREFIX", prefix.c_str(), 1);

    const auto sampleStart = Clock::now();
    std::vector<std::string> makerArgs = {options.maker, driveC.string(), "--megabytes",
                                          std::to_string(options.megabytes)};
    if (options.farms > 0) {
        makerArgs.insert(makerArgs.end(), {"--farms", std::to_string(options.farms)});
    }
    runProgram(makerArgs);
    const double sampleSeconds = seconds(sampleStart, Clock::now());
    const glb::backup::SendBackupPaths paths = glb::backup::SendBackupPaths::installed();
    const std::uint64_t installationBytes = folderBytes(paths.raizFazendas) + folderBytes(paths.pastaFinanceiro);

    VendorProxy proxy({{"GLB_REPLY_TEXT", std::string(kReplyText)}});
    // libcurl reads the proxy settings from the environment when a transfer starts.
    setenv("http_proxy", proxy.address().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    glb::service::RegisterBackupGlebariumTypes();

    Timeline timeline;
    BenchHost host(timeline);
    glb::backup::TQuery query;
    query.setDatabaseName(glb::platform::fixedPath(glb::backup::kPastaGlebariumFazendas));
    glb::backup::SendBackupCommand command(
        host, query, paths,
        [&timeline] {
            auto writer = std::make_unique<TimedZipFile>(timeline);
            timeline.writerMade = Timeline::now();
            return writer;
        },
        [&](const fs::path& pasta) {
            glb::service::EnviarArquivos(pasta, host, [&] {
                auto port = glb::service::GetBackupGlebariumPort(
                    false, {}, nullptr, [&] { return std::make_unique<TimedTransport>(timeline, proxy.pid()); });
                timeline.portMade = Timeline::now();
                return port;
            });
        },
        [&timeline](std::chrono::milliseconds pause) {
            timeline.pauseStart = Timeline::now();
            std::this_thread::sleep_for(pause);
            timeline.pauseEnd = Timeline::now();
        });

    const double rssBefore = peakRssMiB();
    timeline.start = Timeline::now();
    command.run();
    timeline.end = Timeline::now();
    const double serviceRss = static_cast<double>(statusKb(proxy.pid(), "VmHWM")) / 1024.0;

    const fs::path pastaEnvio = paths.executableDirectory / std::string(glb::backup::kPastaEnvio);
    if (!timeline.replyShown || !timeline.sendEnd || !timeline.overlayHidden || !timeline.pauseEnd ||
        !timeline.writerMade) {
        std::fprintf(stderr, "the send did not run through every stage\n");
        return 1;
    }
    std::uint64_t archiveBytes = 0;
    std::uint64_t packedBytes = 0;
    for (const auto& archive : timeline.archives) {
        archiveBytes += archive.outputBytes;
        packedBytes += archive.inputBytes;
    }
    const std::string expectedReply = "Backup recebido: " + std::to_string(timeline.archives.size()) + " arquivos";

    std::printf("whole send: installation of %s (%s), %zu archives of %s, request body %s\n",
                megabytes(installationBytes).c_str(), options.farms > 0 ? "farms as asked" : "sample's farms",
                timeline.archives.size(), megabytes(archiveBytes).c_str(), megabytes(timeline.requestBytes).c_str());
    std::printf("sample written in %.1f s (not part of the send); peak RSS before the send %.1f MiB\n\n", sampleSeconds,
                rssBefore);
    std::printf("%-36s %9s %9s %13s  %s\n", "stage", "wall s", "CPU s", "peak RSS MiB", "note");

    const auto& t = timeline;
    const Timeline::Mark queryEnd = t.firstPackingEvent ? *t.firstPackingEvent : *t.pauseStart;
    row("preparation (checks, staging)", t.start, *t.overlayShown);
    row("overlay, footer, writer", *t.overlayShown, *t.writerMade);
    row("farm list query", *t.writerMade, queryEnd);
    for (const auto& archive : t.archives) {
        char note[128];
        std::snprintf(note, sizeof note, "%zu files, %s -> %s", archive.entries, megabytes(archive.inputBytes).c_str(),
                      megabytes(archive.outputBytes).c_str());
        row(("  packing " + archive.name).c_str(), archive.opened, archive.closed, note);
    }
    char packNote[128];
    std::snprintf(packNote, sizeof packNote, "%.1f MB/s of files per CPU second",
                  static_cast<double>(packedBytes) / 1e6 / (t.pauseStart->cpu - queryEnd.cpu));
    row("packing, total", queryEnd, *t.pauseStart, packNote);
    row("pause", *t.pauseStart, *t.pauseEnd, "the real 500 ms sleep");
    const Timeline::Mark listed = t.uploadEvents.size() >= 2 ? t.uploadEvents[1] : *t.pauseEnd;
    row("upload: listing the staging folder", *t.pauseEnd, listed);
    row("upload: service proxy", listed, *t.portMade);
    row("upload: reading+Base64+request", *t.portMade, *t.sendStart, "files encoded straight into the body");
    char sendNote[128];
    std::snprintf(sendNote, sizeof sendNote, "php CPU %.3f s of it; php peak RSS %.1f MiB", t.serviceCpuSeconds,
                  serviceRss);
    row("upload: sending + service", *t.sendStart, *t.sendEnd, sendNote);
    row("upload: decoding + proxy release", *t.sendEnd, *t.replyShown,
        std::to_string(t.responseBytes) + " bytes of response");
    row("reply", *t.replyShown, *t.replyDismissed, "no box: the host returns at once");
    row("clean-up", *t.replyDismissed, t.end, "overlay, footer, writer, query, staging");
    row("whole send", t.start, t.end);
    const double growthBytes = (t.sendStart->rss - t.pauseEnd->rss) * 1048576.0;
    std::printf("\npeak RSS of the process overall (getrusage): %.1f MiB; the upload added %.1f MiB, %.2f bytes per "
                "staged byte (request body %.3f x the archives)\n",
                peakRssMiB(), growthBytes / 1048576.0, growthBytes / static_cast<double>(archiveBytes),
                static_cast<double>(t.requestBytes) / static_cast<double>(archiveBytes));
    std::printf("reply: %s\n", t.reply.c_str());

    if (t.reply != expectedReply) {
        std::fprintf(stderr, "unexpected reply, wanted \"%s\"\n", expectedReply.c_str());
        return 1;
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(pastaEnvio, ec))) {
        std::fprintf(stderr, "the staging folder %s is still there\n", pastaEnvio.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return benchmark(parse(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_send: %s\n", error.what());
        return 1;
    }
}
