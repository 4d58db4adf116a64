#include "ParadoxWriter.h"

#include "backup/paradox/Crypt.h"

#include <cstring>
#include <stdexcept>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace glb::test {

namespace {

void put16(std::string& b, std::size_t at, unsigned v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

void putBe(char* p, std::uint64_t v, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        p[n - 1 - i] = static_cast<char>(v & 0xFF);
        v >>= 8;
    }
}

std::size_t fieldBytes(const PxField& f)
{
    return f.type == 0x17 ? 17 : f.size;
}

void encodeCell(const PxTable& t, const PxField& f, const PxCell& cell, char* out)
{
    std::memset(out, 0, fieldBytes(f));
    if (std::holds_alternative<std::monostate>(cell)) {
        return;
    }
    switch (f.type) {
    case 0x01: {
        const std::string bytes = encodeCodePage(t.codePage, std::get<std::string>(cell));
        if (bytes.size() > f.size) {
            throw std::runtime_error("alpha value too long: " + std::get<std::string>(cell));
        }
        std::memcpy(out, bytes.data(), bytes.size());
        return;
    }
    case 0x03:
        putBe(out, static_cast<std::uint16_t>(std::get<std::int64_t>(cell)) ^ 0x8000U, 2);
        return;
    case 0x02:
    case 0x04:
    case 0x14:
    case 0x16:
        putBe(out, static_cast<std::uint32_t>(std::get<std::int64_t>(cell)) ^ 0x80000000U, 4);
        return;
    case 0x09:
        out[0] = std::get<std::int64_t>(cell) != 0 ? '\x81' : '\x80';
        return;
    case 0x05:
    case 0x06:
    case 0x15: {
        const double d = std::get<double>(cell);
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, sizeof bits);
        bits = d >= 0 ? bits | 0x8000000000000000ULL : ~bits;
        putBe(out, bits, 8);
        return;
    }
    default:
        throw std::runtime_error("type not supported by the test writer");
    }
}

} // namespace

#ifdef _WIN32
std::string encodeCodePage(int codePage, const std::string& utf8)
{
    const std::string name = "CP" + std::to_string(codePage);
    const int size = static_cast<int>(utf8.size());
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), size)));
    if (wide.empty()) {
        return {};
    }
    const auto page = static_cast<UINT>(codePage);
    const int length = static_cast<int>(wide.size());
    std::string out(wide.size() * 2, '\0');
    BOOL unmapped = FALSE;
    const int written = ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), length, out.data(),
                                              static_cast<int>(out.size()), nullptr, &unmapped);
    if (written <= 0 || unmapped != FALSE) {
        throw std::runtime_error("cannot encode \"" + utf8 + "\" in " + name);
    }
    out.resize(static_cast<std::size_t>(written));
    return out;
}
#else
std::string encodeCodePage(int codePage, const std::string& utf8)
{
    const std::string name = "CP" + std::to_string(codePage);
    iconv_t cd = iconv_open(name.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("no code page " + name);
    }
    std::string out(utf8.size() + 1, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1)) {
        throw std::runtime_error("cannot encode \"" + utf8 + "\" in " + name);
    }
    out.resize(out.size() - outLeft);
    return out;
}
#endif

std::string writeParadoxTable(const PxTable& t)
{
    const std::size_t n = t.fields.size();
    std::size_t recordSize = 0;
    for (const PxField& f : t.fields) {
        recordSize += fieldBytes(f);
    }
    const std::size_t blockSize = static_cast<std::size_t>(t.blockSizeCode) * 1024;
    const std::size_t fit = (blockSize - 6) / recordSize;
    const std::size_t perBlock = t.rowsPerBlock != 0 ? std::min(t.rowsPerBlock, fit) : fit;
    const bool v4plus = t.version >= 5;

    // Variable part of the header.
    std::string var;
    for (const PxField& f : t.fields) {
        var += static_cast<char>(f.type);
        var += static_cast<char>(f.size);
    }
    var.append(4 + 4 * n, '\0');
    std::string tableName = "FAZENDAS.DB";
    tableName.resize(t.version >= 12 ? 261 : 79, '\0');
    var += tableName;
    for (const PxField& f : t.fields) {
        var += encodeCodePage(t.codePage, f.name);
        var += '\0';
    }
    if (v4plus) {
        for (std::size_t i = 0; i < n; ++i) {
            var += static_cast<char>((i + 1) & 0xFF);
            var += static_cast<char>((i + 1) >> 8);
        }
        var += t.sortOrderName;
        var += '\0';
    }
    const std::size_t base = v4plus ? 0x78 : 0x58;
    const std::size_t realHeader = base + var.size();
    const std::size_t headerSize = v4plus ? std::max<std::size_t>(0x800, (realHeader + 0x7FF) & ~std::size_t{0x7FF})
                                          : realHeader + 3; // 3.x headers have small, odd sizes

    // Rows into blocks, in chain order.
    std::vector<std::string> chain;
    for (std::size_t r = 0; r < t.rows.size(); r += perBlock) {
        std::string records;
        for (std::size_t i = r; i < std::min(r + perBlock, t.rows.size()); ++i) {
            std::string rec(recordSize, '\0');
            std::size_t off = 0;
            for (std::size_t f = 0; f < n; ++f) {
                encodeCell(t, t.fields[f], t.rows[i][f], rec.data() + off);
                for (const auto& [row, field, raw] : t.rawCells) {
                    if (row == i && field == f) {
                        std::memset(rec.data() + off, 0, fieldBytes(t.fields[f]));
                        std::memcpy(rec.data() + off, raw.bytes.data(),
                                    std::min(raw.bytes.size(), fieldBytes(t.fields[f])));
                    }
                }
                off += fieldBytes(t.fields[f]);
            }
            records += rec;
        }
        chain.push_back(records);
    }
    // File positions: chain block k sits at position k+1, or k+2 past the free block.
    const bool withFree = t.freeBlock && !chain.empty();
    const std::size_t freePosition = 2;
    auto positionOf = [&](std::size_t k) -> std::size_t { return withFree && k >= 1 ? k + 2 : k + 1; };
    const std::size_t totalBlocks = chain.size() + (withFree ? 1 : 0);

    const std::uint32_t key =
        t.password.empty() ? 0 : backup::paradox::passwordChecksum(encodeCodePage(t.codePage, t.password));

    std::string file(headerSize + totalBlocks * blockSize, '\0');
    put16(file, 0x00, static_cast<unsigned>(recordSize));
    put16(file, 0x02, static_cast<unsigned>(headerSize));
    file[0x04] = 2; // unkeyed
    file[0x05] = static_cast<char>(t.blockSizeCode);
    put32(file, 0x06, static_cast<std::uint32_t>(t.rows.size()));
    put16(file, 0x0A, static_cast<unsigned>(chain.size()));
    put16(file, 0x0C, static_cast<unsigned>(totalBlocks));
    put16(file, 0x0E, chain.empty() ? 0 : 1);
    put16(file, 0x10, chain.empty() ? 0 : static_cast<unsigned>(positionOf(chain.size() - 1)));
    put16(file, 0x21, static_cast<unsigned>(n));
    put32(file, 0x25, v4plus && key != 0 ? 0xFF00FF00U : key);
    file[0x29] = static_cast<char>(t.sortOrderByte);
    file[0x39] = static_cast<char>(t.version);
    put16(file, 0x3A, static_cast<unsigned>(totalBlocks));
    file[0x3E] = 0x1F;
    file[0x3F] = 0x0F;
    put16(file, 0x4D, withFree ? static_cast<unsigned>(freePosition) : 0);
    if (v4plus) {
        put16(file, 0x51, static_cast<unsigned>(realHeader));
    }
    file[0x56] = 0x20;
    if (v4plus) {
        put16(file, 0x58, 0x0100U + static_cast<unsigned>(t.version));
        put16(file, 0x5A, 0x0100U + static_cast<unsigned>(t.version));
        put32(file, 0x5C, key);
        put16(file, 0x64, static_cast<unsigned>(n + 1));
        put16(file, 0x6A, static_cast<unsigned>(t.codePage));
    }
    std::memcpy(file.data() + base, var.data(), var.size());

    auto writeBlock = [&](std::size_t position, unsigned next, unsigned prev, int lastOffset, const std::string& data) {
        std::string block(blockSize, '\0');
        put16(block, 0, next);
        put16(block, 2, prev);
        put16(block, 4, static_cast<unsigned>(static_cast<std::uint16_t>(static_cast<std::int16_t>(lastOffset))));
        std::memcpy(block.data() + 6, data.data(), std::min(data.size(), blockSize - 6));
        if (key != 0) {
            backup::paradox::encryptBlock(reinterpret_cast<std::uint8_t*>(block.data()), blockSize,
                                          static_cast<std::uint32_t>(position), key);
        }
        std::memcpy(file.data() + headerSize + (position - 1) * blockSize, block.data(), blockSize);
    };
    for (std::size_t k = 0; k < chain.size(); ++k) {
        const unsigned next = k + 1 < chain.size() ? static_cast<unsigned>(positionOf(k + 1)) : 0;
        const unsigned prev = k > 0 ? static_cast<unsigned>(positionOf(k - 1)) : 0;
        const int count = static_cast<int>(chain[k].size() / recordSize);
        writeBlock(positionOf(k), next, prev, (count - 1) * static_cast<int>(recordSize), chain[k]);
    }
    if (withFree) {
        // Stale rows of a block whose records were all deleted: never part of the table.
        std::string stale;
        for (std::size_t i = 0; i < perBlock; ++i) {
            std::string rec(recordSize, '\0');
            std::memcpy(rec.data(), "STALE", std::min<std::size_t>(5, recordSize));
            stale += rec;
        }
        writeBlock(freePosition, 0, 1, -static_cast<int>(recordSize), stale);
    }
    return file;
}

} // namespace glb::test
