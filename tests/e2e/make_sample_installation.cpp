// Writes a sample Glebarium installation for the demo, the end-to-end test and the
// benchmarks:
//
//   glb_make_sample <drive-C-folder> [--farms N] [--megabytes M] [--large-file M] [--large-noise M]
//
// <drive-C-folder>/Glebarium/Fazendas/FAZENDAS.DB is the product's farm table, protected
// by the table password, with accented farm names, one farm whose folder is missing and
// farm folders holding plain files, a hidden file and a subfolder (which the backup skips);
// <drive-C-folder>/Glebarium/Financeiro holds the financial files. Contents are
// pseudo-random but the same on every run. Without --megabytes the folders hold a few
// hundred KiB; with it the given total is spread over the farms. --large-file adds one
// table-like file of M MiB to the farm that comes last in the farm list (Santa Luzia), so its
// archive takes a while to pack; --large-noise adds one of M MiB of incompressible data there
// instead, whose archive comes out about as large as the file.

#include "ParadoxWriter.h"
#include "backup/Installation.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Farm
{
    std::string fazenda;
    std::string diretorio;
    bool folderExists;
};

std::uint64_t g_state = 0x9E3779B97F4A7C15ULL;

std::uint64_t nextRandom()
{
    g_state ^= g_state << 13U;
    g_state ^= g_state >> 7U;
    g_state ^= g_state << 17U;
    return g_state;
}

void writeBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
}

/// Table-like data: repeated records with varying numbers, compressible as real tables are.
std::string tableLike(std::size_t size)
{
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        s += "REG;" + std::to_string(nextRandom() % 100000) + ";SAFRA 2026;MILHO;" +
             std::to_string(nextRandom() % 1000) + ",00;\r\n";
    }
    s.resize(size);
    return s;
}

/// Incompressible data, as photos and already-packed files are.
std::string noise(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t r = nextRandom();
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) {
            s[i + k] = static_cast<char>((r >> (8 * k)) & 0xFFU);
        }
    }
    return s;
}

/// `mebibytes` MiB of noise, written a piece at a time.
void writeNoise(const fs::path& path, std::size_t mebibytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::size_t i = 0; i < mebibytes && out; ++i) {
        const std::string piece = noise(1024 * 1024);
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
    }
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
        std::exit(1);
    }
}

void fillFolder(const fs::path& folder, std::size_t budget, int index)
{
    fs::create_directories(folder / "Antigos");
    writeBytes(folder / "LANCAMENTOS.DB", tableLike(budget / 2));
    writeBytes(folder / "FOTOS.DAT", noise(budget / 4));
    writeBytes(folder / "Relatório de colheita.txt",
               "Relatório da fazenda " + std::to_string(index) + "\r\nColheita concluída.\r\n");
    writeBytes(folder / "VAZIO.LOG", "");
    writeBytes(folder / ".configuracao", "oculto=1\r\n");
    writeBytes(folder / "Antigos" / "ANTIGO.DB", tableLike(4096));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s <drive-C-folder> [--farms N] [--megabytes M] [--large-file M] [--large-noise M]\n",
                     argv[0]);
        return 2;
    }
    const fs::path drive = argv[1];
    std::size_t farmsWanted = 0;
    std::size_t megabytes = 0;
    std::size_t largeFile = 0;
    std::size_t largeNoise = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--farms") {
            farmsWanted = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (option == "--megabytes") {
            megabytes = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (option == "--large-file") {
            largeFile = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (option == "--large-noise") {
            largeNoise = std::strtoul(argv[i + 1], nullptr, 10);
        }
    }

    std::vector<Farm> farms = {
        {"Santa Luzia", "SANTALUZIA", true},       {"Águas Claras", "AGUASCLARAS", true},
        {"Boa Esperança", "BOAESPERANCA", true},   {"Três Irmãos", "TRESIRMAOS", false},
        {"Estância Velha", "ESTANCIAVELHA", true}, {"Ouro Verde", "OUROVERDE", true},
    };
    for (std::size_t i = farms.size(); i < farmsWanted; ++i) {
        farms.push_back({"Fazenda " + std::to_string(i), "FAZ" + std::to_string(i), true});
    }

    const fs::path glebarium = drive / "Glebarium";
    const fs::path fazendas = glebarium / "Fazendas";
    fs::create_directories(fazendas);

    glb::test::PxTable table;
    table.version = 12;
    table.codePage = 1252;
    table.password = std::string(glb::backup::kSenhaTabela);
    table.fields = {{"Codigo", 0x16, 4}, {"Fazenda", 0x01, 40}, {"Diretorio", 0x01, 60}, {"Area", 0x06, 8}};
    std::int64_t code = 1;
    for (const Farm& farm : farms) {
        table.rows.push_back({code++, farm.fazenda, farm.diretorio, 100.0 * static_cast<double>(code)});
    }
    writeBytes(fazendas / "FAZENDAS.DB", glb::test::writeParadoxTable(table));

    std::size_t existing = 0;
    for (const Farm& farm : farms) {
        existing += farm.folderExists ? 1 : 0;
    }
    const std::size_t budget = megabytes == 0 ? 256 * 1024 : megabytes * 1024 * 1024 / (existing + 1);
    int index = 0;
    for (const Farm& farm : farms) {
        ++index;
        if (farm.folderExists) {
            fillFolder(fazendas / farm.diretorio, budget, index);
        }
    }
    if (largeFile > 0) {
        writeBytes(fazendas / "SANTALUZIA" / "IMAGENS.DB", tableLike(largeFile * 1024 * 1024));
    }
    if (largeNoise > 0) {
        writeNoise(fazendas / "SANTALUZIA" / "IMAGENS.DAT", largeNoise);
    }
    const fs::path financeiro = glebarium / "Financeiro";
    fs::create_directories(financeiro);
    writeBytes(financeiro / "CONTAS.DB", tableLike(budget / 2));
    writeBytes(financeiro / "Caixa 2026.xls", noise(budget / 4));
    std::printf("%s\n", glebarium.string().c_str());
    return 0;
}
