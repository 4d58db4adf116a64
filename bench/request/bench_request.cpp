// Peak memory and time of building the upload request for staged archives of random data.
//
//   bench_request [MB ...]      (default: 10 100 500)
//
// Each size runs in a child process of its own, so one peak does not hide the next. The
// archives are files of at most 10 MB in a temporary folder (plus a run with one file of
// the whole size). Every mode runs EnviarArquivos; the request goes to a transport that
// pulls the body as libcurl does, in pieces of 32 KiB, drops it and answers with a reply.
//   streamed   the real path: the body is produced while it is pulled, each file read and
//              encoded piece by piece;
//   whole      the document is written whole in memory first, each file encoded straight
//              into it, then sent;
//   text/keep  every BUF is read into text first and kept while the document is written.

#include "service/EnvelopeWriter.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace glb::service;

namespace {

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long statusKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

const char* const kReply = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
                           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
                           "<ns1:UploadBackupResponse xmlns:ns1=\"urn:BackupGlebarium\"><return>ok</return>"
                           "</ns1:UploadBackupResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

class SinkTransport : public HttpTransport
{
public:
    explicit SinkTransport(std::size_t& sent)
        : m_sent(sent)
    {
    }
    void setUrl(const std::string& url) override { m_url = url; }
    const std::string& url() const override { return m_url; }
    const UrlParts& urlParts() const override { return m_parts; }
    void setSoapAction(const std::string& action) override { m_action = action; }
    const std::string& soapAction() const override { return m_action; }
    using HttpTransport::execute;
    void execute(RequestBody& request, std::string& response) override
    {
        std::vector<char> piece(32768);
        m_sent = 0;
        while (const std::size_t got = request.read(piece.data(), piece.size()))
            m_sent += got;
        response = kReply;
    }

private:
    std::size_t& m_sent;
    std::string m_url;
    UrlParts m_parts;
    std::string m_action;
};

enum class Mode
{
    Streamed,
    Whole,
    TextKept,
};

const char* modeName(Mode mode)
{
    switch (mode) {
    case Mode::Streamed:
        return "streamed";
    case Mode::Whole:
        return "whole";
    case Mode::TextKept:
        return "text/keep";
    }
    return "";
}

/// Writes the whole document in memory, with every BUF read into text first when `text` is
/// set, and sends it from there.
class InMemoryPort : public BackupGlebariumPortType
{
public:
    InMemoryPort(bool text, std::size_t& sent)
        : m_text(text)
        , m_sent(sent)
    {
    }
    std::string UploadBackup(const std::string& nome, const std::string& cpf, ArquivoArray arquivo) override
    {
        if (m_text) {
            for (const auto& record : arquivo)
                (void)record->BUF();
        }
        const std::string body = InvContextToMsg({}, nome, cpf, arquivo);
        std::string response;
        SinkTransport(m_sent).execute(body, response);
        return "ok";
    }

private:
    bool m_text;
    std::size_t& m_sent;
};

void stage(const fs::path& dir, std::size_t totalMb, std::size_t fileMb)
{
    fs::create_directories(dir);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17); // 1 MiB
    for (std::size_t done = 0, index = 0; done < totalMb; ++index) {
        const std::size_t mb = std::min(fileMb, totalMb - done);
        std::ofstream out(dir / ("Fazenda" + std::to_string(index) + ".zip"), std::ios::binary);
        for (std::size_t m = 0; m < mb; ++m) {
            for (auto& word : block)
                word = random();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
        done += mb;
    }
}

void measure(const fs::path& dir, std::size_t totalMb, std::size_t fileMb, Mode mode)
{
    const pid_t pid = ::fork();
    if (pid != 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return;
    }
    RegisterBackupGlebariumTypes();
    const long baseKb = statusKb("VmHWM");
    std::size_t sent = 0;
    glb::BlockingPump events;
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    EnviarArquivos(dir, "Ana", "123", events, [&]() -> std::shared_ptr<BackupGlebariumPortType> {
        if (mode == Mode::Streamed)
            return GetBackupGlebariumPort(false, "", nullptr, [&]() -> std::unique_ptr<HttpTransport> {
                return std::make_unique<SinkTransport>(sent);
            });
        return std::make_shared<InMemoryPort>(mode == Mode::TextKept, sent);
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    const long peakKb = statusKb("VmHWM") - baseKb;
    const double staged = static_cast<double>(totalMb) * 1024.0 * 1024.0;
    std::printf(
        "%5zu MB in files of %3zu MB  %-9s  body %7.1f MB (%.3fx)  peak +%7.1f MB (%.2fx)  %6.2f s wall  %6.2f s cpu\n",
        totalMb, std::min(fileMb, totalMb), modeName(mode), static_cast<double>(sent) / 1048576.0,
        static_cast<double>(sent) / staged, static_cast<double>(peakKb) / 1024.0,
        static_cast<double>(peakKb) * 1024.0 / staged, seconds, cpu);
    std::fflush(stdout);
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(static_cast<std::size_t>(std::strtoul(argv[i], nullptr, 10)));
    if (sizes.empty())
        sizes = {10, 100, 500};

    const fs::path root = fs::temp_directory_path() / ("bench_request_" + std::to_string(::getpid()));
    for (const std::size_t mb : sizes) {
        for (const std::size_t fileMb : {std::size_t{10}, mb}) {
            const fs::path dir = root / (std::to_string(mb) + "_" + std::to_string(fileMb));
            stage(dir, mb, fileMb);
            for (const Mode mode : {Mode::Streamed, Mode::Whole, Mode::TextKept})
                measure(dir, mb, fileMb, mode);
            fs::remove_all(dir);
            if (fileMb == mb)
                break;
        }
    }
    fs::remove_all(root);
    return 0;
}
