// The request as it is sent: produced while it is read, byte for byte the document the
// in-memory writer makes, with its size known before the first byte.

#include "service/Base64.h"
#include "service/EnvelopeWriter.h"
#include "service/ServiceErrors.h"
#include "tests/support/Links.h"
#include "tests/support/SystemText.h"
#include "tests/support/TempDir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace glb::service;
using glb::test::TempDir;
using glb::test::writeFile;

namespace {

std::string patternBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

/// Every byte of `body`, pulled in pieces of `piece` bytes.
std::string readAll(RequestBody& body, std::size_t piece)
{
    std::string bytes;
    std::vector<char> buffer(piece);
    while (const std::size_t got = body.read(buffer.data(), buffer.size()))
        bytes.append(buffer.data(), got);
    return bytes;
}

/// Returns once a file written now gets another change time than `path` has: the system
/// keeps those times in coarse steps, and a rewrite within the same step would look unchanged.
void awaitNextChangeTime(const std::filesystem::path& path)
{
#ifdef _WIN32
    // The write time is what Windows changes on a rewrite (in steps of 100 ns).
    const auto original = std::filesystem::last_write_time(path);
    const auto probe = path.parent_path() / "probe";
    for (;;) {
        writeFile(probe, "x");
        if (std::filesystem::last_write_time(probe) != original)
            return;
    }
#else
    struct stat original
    {
    };
    ASSERT_EQ(::stat(path.c_str(), &original), 0);
    const auto probe = path.parent_path() / "probe";
    for (;;) {
        writeFile(probe, "x");
        struct stat now
        {
        };
        ASSERT_EQ(::stat(probe.c_str(), &now), 0);
        if (now.st_ctim.tv_sec != original.st_ctim.tv_sec || now.st_ctim.tv_nsec != original.st_ctim.tv_nsec)
            return;
    }
#endif
}

struct Record
{
    std::string nome;
    std::string content;
    bool fromFile = true; ///< else the record holds its Base64 text
};

TEST(StreamedRequest, IsTheInMemoryDocumentByteForByte)
{
    const std::size_t chunk = 57 * 1150; // what one read of a file encodes
    struct Case
    {
        const char* what;
        std::string nome;
        std::vector<Record> records;
    };
    // clang-format off
    const Case cases[] = {
        {"no file",              "Ana", {}},
        {"empty files",          "Ana", {{"a.zip", ""}, {"b.zip", ""}}},
        {"57 and 58 bytes",      "Ana", {{"57.zip", patternBytes(57)}, {"58.zip", patternBytes(58)}}},
        {"lines of 76 exactly",  "Ana", {{"k.zip", patternBytes(57 * 40)}, {"chunk.zip", patternBytes(chunk)}}},
        {"across reads",         "Ana", {{"x.zip", patternBytes(chunk + 1)}, {"y.zip", patternBytes(3 * chunk + 10)}}},
        {"names with escapes",   "A & B <c>\r\n\x01\xC3", {{"Relat\xC3\xB3rio & <x>\r.zip", patternBytes(100)},
                                                        {"texto & <y>.zip", patternBytes(80), false}}},
        {"text and files mixed", "Ana", {{"t.zip", patternBytes(500), false}, {"f.zip", patternBytes(500)},
                                         {"t2.zip", "", false}}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ArquivoArray asText;
        ArquivoArray streamed;
        for (std::size_t k = 0; k < c.records.size(); ++k) {
            const Record& r = c.records[k];
            asText.push_back(std::make_unique<arquivos>(r.nome, encodeBase64(r.content)));
            if (r.fromFile) {
                const auto path = dir / ("f" + std::to_string(k));
                writeFile(path, r.content);
                streamed.push_back(std::make_unique<arquivos>(r.nome, ""));
                streamed.back()->setBUFFile(path);
            } else {
                streamed.push_back(std::make_unique<arquivos>(r.nome, encodeBase64(r.content)));
            }
        }
        const std::string expected = InvContextToMsg({}, c.nome, "123", asText);
        for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{32768}}) {
            SCOPED_TRACE(piece);
            const auto body = openRequest({}, c.nome, "123", streamed);
            EXPECT_EQ(body->size(), expected.size());
            EXPECT_EQ(readAll(*body, piece), expected);
            body->rewind(); // as for a redirect that repeats the POST
            EXPECT_EQ(readAll(*body, piece), expected);
        }
    }
}

TEST(StreamedRequest, AFileThatChangesSizeAfterCountingFailsTheRead)
{
    struct Case
    {
        const char* what;
        std::size_t before;
        std::size_t after; ///< the same: bytes in its middle are rewritten
    };
    const Case cases[] = {{"shrank", 200000, 1000},
                          {"grew", 1000, 1001},
                          {"emptied", 10, 0},
                          {"filled", 0, 5},
                          {"rewritten with the same size", 200000, 200000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const auto path = dir / "Fazenda.zip";
        writeFile(path, patternBytes(c.before));
        ArquivoArray records;
        records.push_back(std::make_unique<arquivos>("Fazenda.zip", ""));
        records.back()->setBUFFile(path);
        const auto body = openRequest({}, "Ana", "123", records);
        // Another program rewrites the file in place while the request goes out.
        bool changed = false;
        if (c.after == c.before) {
            awaitNextChangeTime(path);
            std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
            file.seekp(100000);
            file.write("mudou", 5);
            file.flush();
            changed = file.good();
        } else {
            std::error_code ec;
            std::filesystem::resize_file(path, c.after, ec);
            changed = !ec;
        }
#ifdef _WIN32
        // Windows keeps other programs from writing to a file the request holds open (its
        // share mode lets them read only): the change is refused, and what goes out is the
        // file as it was counted.
        EXPECT_FALSE(changed);
#else
        EXPECT_TRUE(changed); // a lock on Linux is advisory: nothing stops the change
#endif
        if (!changed) {
            ArquivoArray asCounted;
            asCounted.push_back(std::make_unique<arquivos>("Fazenda.zip", encodeBase64(patternBytes(c.before))));
            EXPECT_EQ(readAll(*body, 32768), InvContextToMsg({}, "Ana", "123", asCounted));
            continue;
        }
        try {
            readAll(*body, 32768);
            ADD_FAILURE() << "no error";
        } catch (const EStagedFileChanged& e) {
            EXPECT_EQ(std::string(e.what()),
                      "O arquivo \"" + path.string() + "\" mudou durante o envio; o backup não foi enviado");
        }
    }
}

TEST(StreamedRequest, AFileThatCannotBeOpenedFailsBeforeTheFirstByte)
{
    TempDir dir;
    writeFile(dir / "outside.txt", "x");
    std::vector<std::pair<std::string, std::string>> cases = {{"none.zip", glb::test::missingFileText()}};
    // A staged file swapped for a link after the listing is not read through.
    const std::string noLinks = glb::test::symlinkUnsupported(dir.path());
    if (noLinks.empty()) {
        std::filesystem::create_symlink(dir / "outside.txt", dir / "link.zip");
        cases.emplace_back("link.zip", "É um link; links não são seguidos");
    }
    for (const auto& [name, reason] : cases) {
        ArquivoArray records;
        records.push_back(std::make_unique<arquivos>(name, ""));
        records.back()->setBUFFile(dir / name);
        try {
            (void)openRequest({}, "Ana", "123", records);
            ADD_FAILURE() << "no error for " << name;
        } catch (const glb::EFOpenError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + (dir / name).string() + "\". " + reason);
        }
    }
    if (!noLinks.empty()) {
        GTEST_SKIP() << "the missing file was checked; the link case was not: " << noLinks;
    }
}

} // namespace
