// Time and peak RSS of one UploadBackup of archives to the PHP service on 127.0.0.1.
//
//   bench_upload [megabytes=100] [--whole]
//
// By default the stages run one after the other so each is timed on its own: opening the
// request (the files opened and counted), sending it (the HTTP exchange, during which the
// files are read and encoded into the body) and decoding the reply. With --whole the same
// upload goes through EnviarArquivos in one piece.
#include "service/CurlTransport.h"
#include "service/EnvelopeWriter.h"
#include "service/ResponseDecoder.h"
#include "service/ServiceContract.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/service/php/PhpService.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace glb::service;

namespace {

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct Stopwatch
{
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); }
};

void report(const char* stage, double seconds, double megabytes)
{
    std::printf("%-22s %8.3f s  %8.1f MB/s  peak RSS so far %8.1f MiB\n", stage, seconds, megabytes / seconds,
                peakRssMiB());
}

/// Incompressible archives of 10 MB each (the last one takes the rest), like ZIP files.
void writeArchives(const fs::path& folder, std::size_t totalBytes)
{
    std::mt19937_64 generator(42);
    std::vector<std::uint64_t> block(1 << 17);
    std::size_t written = 0;
    for (int index = 1; written < totalBytes; ++index) {
        std::ofstream out(folder / ("Fazenda " + std::to_string(index) + ".zip"), std::ios::binary);
        const std::size_t fileBytes = std::min<std::size_t>(10'000'000, totalBytes - written);
        for (std::size_t done = 0; done < fileBytes;) {
            for (auto& word : block) {
                word = generator();
            }
            const std::size_t piece = std::min(fileBytes - done, block.size() * sizeof(std::uint64_t));
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(piece));
            done += piece;
        }
        written += fileBytes;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t megabytes = 100;
    bool whole = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--whole") {
            whole = true;
        } else {
            megabytes = std::stoul(std::string(arg));
        }
    }
    unsetenv("http_proxy");
    setenv("no_proxy", "*", 1);

    const fs::path staging = fs::temp_directory_path() / ("glb-bench-upload-" + std::to_string(getpid()));
    fs::create_directories(staging);
    writeArchives(staging, megabytes * 1'000'000);
    std::printf("upload of %zu MB of archives, baseline peak RSS %.1f MiB\n", megabytes, peakRssMiB());

    int status = 0;
    {
        glb::test::PhpService service({});
        RegisterBackupGlebariumTypes();
        if (whole) {
            glb::BlockingPump events;
            const Stopwatch total;
            const std::string reply = EnviarArquivos(staging, "FAZENDEIRO DE TESTE", "12345678909", events,
                                                     [&] { return GetBackupGlebariumPort(false, service.url()); });
            report("EnviarArquivos", total.seconds(), static_cast<double>(megabytes));
            std::printf("reply: %s\n", reply.c_str());
        } else {
            const Stopwatch build;
            ArquivoArray arquivo;
            for (const auto& entry : fs::directory_iterator(staging)) {
                // As the upload call does: each file is encoded straight into the request.
                auto record = std::make_unique<arquivos>();
                record->setNOME(entry.path().filename().string());
                record->setBUFFile(entry.path());
                arquivo.push_back(std::move(record));
            }
            const auto request = openRequest(RequestNames{}, "FAZENDEIRO DE TESTE", "12345678909", arquivo);
            report("opening the request", build.seconds(), static_cast<double>(megabytes));
            const double requestMb = static_cast<double>(request->size()) / 1e6;

            // The same request once to a service that drops it unread (the cost of the
            // wire alone), then to the real one, which decodes every record.
            std::string response;
            {
                glb::test::PhpService::Options sinkOptions;
                sinkOptions.environment = {{"GLB_SINK", "1"}};
                glb::test::PhpService sink(sinkOptions);
                CurlTransport transport;
                transport.setUrl(sink.url());
                transport.setSoapAction("UploadBackup");
                const Stopwatch send;
                transport.execute(*request, response);
                report("sending (wire only)", send.seconds(), requestMb);
                response.clear();
                request->rewind();
            }
            CurlTransport transport;
            transport.setUrl(service.url());
            transport.setSoapAction("UploadBackup");
            const Stopwatch send;
            transport.execute(*request, response);
            report("sending + service", send.seconds(), requestMb);

            const Stopwatch decode;
            const std::string reply = ProcessResponse(response);
            report("decoding the reply", decode.seconds(), static_cast<double>(response.size()) / 1e6);
            std::printf("request %llu bytes, response %zu bytes, reply: %s\n",
                        static_cast<unsigned long long>(request->size()), response.size(), reply.c_str());
            status = reply.empty() ? 1 : 0;
        }
    }
    fs::remove_all(staging);
    return status;
}
