// Lists a 100,000-row farm table the way a send does (open the query, walk every row,
// read Diretorio) and, side by side, with the bare reader and with pxlib reading the same
// file. Each run is a child process of its own, so its peak RSS is its own.
//   bench_farmlist [rows] [repeats]

#include "ParadoxWriter.h"
#include "backup/Installation.h"
#include "backup/farmlist/FarmList.h"
#include "backup/paradox/Table.h"

extern "C" {
#include <paradox.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace glb;

namespace {

const char* const kNames[] = {"Ágata",     "Aurora",   "Éden",        "Estância", "Ouro",        "Órion",
                              "Boa Vista", "São José", "Santa Luzia", "Coração",  "Três Marias", "Umbu"};

std::filesystem::path makeTable(const std::filesystem::path& folder, std::size_t rows, bool protectedTable)
{
    test::PxTable t;
    t.version = 12;
    t.codePage = 1252;
    t.blockSizeCode = 4;
    if (protectedTable) {
        t.password = std::string(backup::kSenhaTabela);
    }
    t.fields = {{"Fazenda", 0x01, 40}, {"Diretorio", 0x01, 60}, {"Area", 0x06, 8}, {"Codigo", 0x04, 4}};
    t.rows.reserve(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::string name = std::string(kNames[(i * 7919) % 12]) + " " + std::to_string((i * 104729) % rows);
        t.rows.push_back({name, "FAZ" + std::to_string(i), static_cast<double>(i) * 1.5, static_cast<std::int64_t>(i)});
    }
    const auto file = folder / "FAZENDAS.DB";
    std::ofstream(file, std::ios::binary) << test::writeParadoxTable(t);
    return file;
}

// One listing; returns the number of bytes of Diretorio seen (so nothing is optimised away).
std::size_t listWithQuery(const std::filesystem::path& folder)
{
    backup::TQuery query;
    query.setDatabaseName(folder);
    query.close();
    query.addPassword(std::string(backup::kSenhaTabela));
    query.setSql(std::string(backup::kSqlFazendas));
    query.open();
    query.first();
    std::size_t bytes = 0;
    while (!query.eof()) {
        bytes += query.fieldAsText("Diretorio").size();
        query.next();
    }
    query.close();
    return bytes;
}

std::size_t listWithReader(const std::filesystem::path& file)
{
    backup::paradox::Table table = backup::paradox::Table::open(file);
    table.readRecords({std::string(backup::kSenhaTabela)});
    std::size_t bytes = 0;
    backup::paradox::Value value;
    for (std::size_t row = 0; row < table.recordCount(); ++row) {
        for (std::size_t field = 0; field < 2; ++field) {
            table.value(row, field, value);
            bytes += value.text.size();
        }
    }
    return bytes;
}

std::size_t listWithPxlib(const std::filesystem::path& file)
{
    pxdoc_t* doc = PX_new();
    if (PX_open_file(doc, file.c_str()) < 0) {
        std::fprintf(stderr, "pxlib cannot open %s\n", file.c_str());
        std::exit(2);
    }
    PX_set_targetencoding(doc, "UTF-8");
    const int records = PX_get_num_records(doc);
    const int fields = PX_get_num_fields(doc);
    std::size_t bytes = 0;
    for (int r = 0; r < records; ++r) {
        pxval_t** values = PX_retrieve_record(doc, r);
        for (int f = 0; f < fields; ++f) {
            if (values[f]->type == pxfAlpha && !values[f]->isnull) {
                if (f < 2) {
                    bytes += static_cast<std::size_t>(values[f]->value.str.len);
                }
                doc->free(doc, values[f]->value.str.val);
            }
            doc->free(doc, values[f]);
        }
        doc->free(doc, values);
    }
    PX_close(doc);
    PX_delete(doc);
    return bytes;
}

struct Run
{
    double seconds = 0;
    long peakKb = 0;
};

Run runChild(const char* self, const char* mode, const std::filesystem::path& folder)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(2);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        execl(self, self, "--run", mode, folder.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[128] = {};
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer - 1);
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "run %s failed\n", mode);
        std::exit(2);
    }
    return {std::atof(buffer), usage.ru_maxrss};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--run") == 0) {
        const std::string mode = argv[2];
        const std::filesystem::path folder = argv[3];
        const auto start = std::chrono::steady_clock::now();
        const std::size_t bytes = mode == "query"    ? listWithQuery(folder)
                                  : mode == "reader" ? listWithReader(folder / "FAZENDAS.DB")
                                                     : listWithPxlib(folder / "FAZENDAS.DB");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%.6f %zu\n", seconds, bytes);
        return 0;
    }
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const auto folder = std::filesystem::temp_directory_path() / ("glb-bench-farmlist-" + std::to_string(getpid()));
    for (const bool protectedTable : {false, true}) {
        std::filesystem::create_directories(folder);
        const auto file = makeTable(folder, rows, protectedTable);
        std::printf("\ntable: %zu rows, %.1f MiB, %s, cp1252, 4 KiB blocks\n", rows,
                    static_cast<double>(std::filesystem::file_size(file)) / (1024.0 * 1024.0),
                    protectedTable ? "protected" : "not protected");
        std::printf("%-44s %12s %14s\n", "listing (median of runs)", "time [ms]", "peak RSS [MiB]");
        double pxlibMs = 0;
        for (const char* mode : {"pxlib", "reader", "query"}) {
            std::vector<Run> runs;
            for (int i = 0; i < repeats; ++i) {
                runs.push_back(runChild(argv[0], mode, folder));
            }
            std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
            const double ms = runs[runs.size() / 2].seconds * 1000;
            long peak = 0;
            for (const Run& r : runs) {
                peak = std::max(peak, r.peakKb);
            }
            if (std::strcmp(mode, "pxlib") == 0) {
                pxlibMs = ms;
            }
            const char* label = std::strcmp(mode, "pxlib") == 0    ? "pxlib: every record, every field"
                                : std::strcmp(mode, "reader") == 0 ? "our reader: every record, Fazenda+Diretorio"
                                                                   : "TQuery: the farm-list query, sorted, walked";
            std::printf("%-44s %12.1f %14.1f   %.2fx pxlib\n", label, ms, static_cast<double>(peak) / 1024.0,
                        ms / pxlibMs);
        }
        std::filesystem::remove_all(folder);
    }
    return 0;
}
