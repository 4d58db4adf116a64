// The archive writer as a property: any file contents and names, packed into an archive
// and read back by the independent inspector (records, fields, data inflated with zlib),
// give back the files, and a writer that has written an archive before writes the same
// archive again byte for byte.
//
// Input: a file count (byte, taken modulo 7), then per file a flags byte (bit 0: the
// entry name is given, not taken from the file; bits 1-3: the content is repeated 2^n
// times, up to kMaxFile), the name (a length byte, then the bytes) and the content (two
// length bytes, low first, then the bytes). A file's name on disk is its name bytes
// without "/" and NUL (a name of its own when that leaves nothing, "." or ".."); each
// file lies in a folder of its own, so names may repeat.

#include "archive/ZipFile.h"
#include "common/Error.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzInput.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipInspector.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>
#include <zlib.h>

using namespace glb::fuzz;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxFiles = 7;
constexpr std::size_t kMaxFile = 66 * 1024; // past the writer's first read of a file
constexpr std::size_t kMaxName = 255;       // what one name on Linux file systems may hold

struct InputFile
{
    fs::path path;
    std::string entryName; ///< passed to Add; empty for the file's own name
    std::string expectedName;
    std::string content;
};

// A name without a folder part: what follows the last "\" or ":" (readers on Windows
// would take either for one).
std::string baseName(std::string_view name)
{
    const auto cut = name.find_last_of("\\:");
    return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

// `content` 2^exponent times over, cut at kMaxFile.
std::string repeated(std::string_view content, unsigned exponent)
{
    const std::size_t size = std::min(content.size() << exponent, std::max(kMaxFile, content.size()));
    std::string out;
    out.reserve(size);
    while (out.size() < size)
        out += content;
    out.resize(size);
    return out;
}

std::string fileSystemName(std::string_view bytes, std::size_t index)
{
    std::string name;
    for (const char c : bytes.substr(0, kMaxName)) {
        if (c != '/' && c != '\0')
            name += c;
    }
    if (name.empty() || name == "." || name == "..")
        name = "file" + std::to_string(index);
    return name;
}

void pack(glb::archive::TZipFile& zip, const fs::path& archive, const std::vector<InputFile>& files)
{
    try {
        zip.Open(archive, glb::archive::TZipMode::zmWrite);
        for (const InputFile& file : files)
            zip.Add(file.path, file.entryName);
        zip.Close();
    } catch (const glb::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        fail(__FILE__, __LINE__, "the writer refused files within its limits");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const glb::test::TempDir scratch;
    const fs::path sources = scratch / "in";
    fs::remove_all(sources);

    FuzzInput input(data, size);
    std::vector<InputFile> files;
    const std::size_t count = input.byte() % kMaxFiles;
    for (std::size_t k = 0; k < count; ++k) {
        InputFile file;
        const std::uint8_t flags = input.byte();
        const std::string_view name = input.shortText();
        const std::string_view content = input.longText();
        file.content = repeated(content, flags >> 1U & 7U);
        file.path = sources / std::to_string(k) / glb::pathFromText(fileSystemName(name, k));
        if ((flags & 1U) != 0)
            file.entryName = name;
        file.expectedName = file.entryName.empty() ? baseName(glb::pathText(file.path.filename())) : file.entryName;
        glb::test::writeFile(file.path, file.content);
        files.push_back(std::move(file));
    }

    glb::archive::TZipFile zip;
    pack(zip, scratch / "first.zip", files);
    const glb::test::ZipInfo info = glb::test::inspectZip(scratch / "first.zip");
    for (const std::string& problem : info.problems)
        std::fprintf(stderr, "inspector: %s\n", problem.c_str());
    GLB_FUZZ_CHECK(info.problems.empty());
    GLB_FUZZ_CHECK(info.entries.size() == files.size());
    for (std::size_t k = 0; k < files.size(); ++k) {
        const glb::test::ZipEntryInfo& entry = info.entries[k];
        const InputFile& file = files[k];
        GLB_FUZZ_CHECK_TEXT(entry.name, file.expectedName, "entry name");
        GLB_FUZZ_CHECK(entry.uncompressedSize == file.content.size());
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(file.content.data()),
                                static_cast<uInt>(file.content.size()));
        GLB_FUZZ_CHECK(entry.crc == crc);
        GLB_FUZZ_CHECK(entry.data == file.content);
    }

    pack(zip, scratch / "second.zip", files);
    GLB_FUZZ_CHECK(glb::test::readFile(scratch / "second.zip") == glb::test::readFile(scratch / "first.zip"));
    return 0;
}
