// Packs every plain file of one folder, in name order, into one archive with TZipFile,
// and prints the time taken and the peak resident memory of the process.

#include "archive/ZipFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <sys/resource.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <folder> <archive.zip>\n", argv[0]);
        return 2;
    }
    try {
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());

        const auto start = std::chrono::steady_clock::now();
        glb::archive::TZipFile zip;
        zip.Open(argv[2], glb::archive::TZipMode::zmWrite);
        for (const auto& file : files) {
            zip.Add(file);
        }
        zip.Close();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        std::printf("files=%zu seconds=%.3f peak_rss_kb=%ld archive_bytes=%ju\n", files.size(), elapsed.count(),
                    usage.ru_maxrss, static_cast<std::uintmax_t>(std::filesystem::file_size(argv[2])));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
