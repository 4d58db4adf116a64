// The whole send of a generated installation, timed stage by stage, with the program's
// memory over the send and how long its window went without processing events.
//
//   bench_send [--megabytes 300] [--farms N] [--sink] [--compare] [--maker glb_make_sample] [--keep-sample]
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

#include "app/MainWindow.h"
#include "app/MessageBoxes.h"
#include "archive/ZipFile.h"
#include "backup/Installation.h"
#include "backup/SendBackupCommand.h"
#include "backup/farmlist/FarmList.h"
#include "common/Platform.h"
#include "service/CurlTransport.h"
#include "service/ServiceContract.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/service/php/PhpService.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
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
        } else {
            throw std::runtime_error(
                "usage: bench_send [--megabytes M] [--farms N] [--sink] [--compare] [--maker PATH] [--keep-sample]");
        }
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
    void followProgress(const glb::backup::SendProgress& progress) override { m_window.followProgress(progress); }
    void esconderAguarde() override
    {
        m_timeline.overlayHidden = Timeline::now();
        m_window.esconderAguarde();
    }
    void setFooterEnabled(bool enabled) override { m_window.setFooterEnabled(enabled); }

private:
    Timeline& m_timeline;
    glb::app::TfrmBackup& m_window;
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
    using HttpTransport::execute;
    void execute(glb::service::RequestBody& request, std::string& response) override
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

/// Presses "&Enviar" once, through the real command in the real window, and fills `timeline`.
void sendOnce(const SampleInstallation& installation, const glb::test::PhpService& service, unsigned packingThreads,
              Timeline& timeline)
{
    glb::app::TfrmBackup window;
    window.show();
    TimedHost host(timeline, window);
    glb::backup::SendBackupCommand command(
        host, window.qryGlebarium(), installation.paths(), [] { return true; },
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

    const glb::app::BoxRecorder boxes; // the reply box is dismissed at once
    timeline.rssBeforeMiB = selfMiB("VmRSS");
    resetPeakRss();
    timeline.start = Timeline::now();
    command.run();
    timeline.end = Timeline::now();
    timeline.peakMiB = selfMiB("VmHWM");
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

int benchmark(const Options& options)
{
    const SampleInstallation installation(options);
    const glb::test::PhpService service(vendorProxyOptions(options));
    // libcurl reads the proxy settings from the environment when a transfer starts.
    setenv("http_proxy", service.address().c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    glb::service::RegisterBackupGlebariumTypes();

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
