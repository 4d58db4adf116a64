// The request writer as a property: any bytes as name, CPF/CNPJ and record names, records
// whose BUF is text and records whose BUF names a small file, give a document that
// checkRequestDocument() accepts; the body streamed while it is sent, pulled in pieces of any
// size, holds the same bytes, as many as it announced.
//
// Input: a record count (byte, taken modulo 5), nome and cpf (a length byte, then the
// bytes), then per record a flags byte (bit 0: BUF is a file; bits 1-3: the file's
// content is repeated 2^n times, up to kMaxFile), NOME (a length byte, then the bytes)
// and the BUF text or file content (two length bytes, low first, then the bytes).

#include "fuzz/envelope/RequestProperty.h"
#include "fuzz/support/FuzzCheck.h"
#include "fuzz/support/FuzzInput.h"
#include "service/EnvelopeWriter.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

using namespace glb::fuzz;
using glb::service::ArquivoArray;
using glb::service::arquivos;

namespace {

constexpr std::size_t kMaxRecords = 5;
constexpr std::size_t kMaxFile = 66 * 1024; // past the encoder's first read of a file

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

glb::service::ArquivoArray makeArray(const RequestArguments& arguments, const glb::test::TempDir& folder)
{
    ArquivoArray array;
    for (std::size_t k = 0; k < arguments.records.size(); ++k) {
        const RequestRecord& given = arguments.records[k];
        auto record = std::make_unique<arquivos>(given.nome, given.bufFromFile ? std::string() : given.buf);
        if (given.bufFromFile)
            record->setBUFFile(folder / (std::to_string(k) + ".zip"));
        array.push_back(std::move(record));
    }
    return array;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const glb::test::TempDir folder;
    FuzzInput input(data, size);
    RequestArguments arguments;
    const std::size_t count = input.byte() % kMaxRecords;
    arguments.nome = input.shortText();
    arguments.cpf = input.shortText();
    for (std::size_t k = 0; k < count; ++k) {
        RequestRecord record;
        const std::uint8_t flags = input.byte();
        record.bufFromFile = (flags & 1U) != 0;
        record.nome = input.shortText();
        const std::string_view content = input.longText();
        record.buf = content;
        if (record.bufFromFile)
            record.buf = repeated(content, flags >> 1U & 7U);
        if (record.bufFromFile)
            glb::test::writeFile(folder / (std::to_string(k) + ".zip"), record.buf);
        arguments.records.push_back(std::move(record));
    }

    const ArquivoArray kept = makeArray(arguments, folder);
    const std::string document = glb::service::InvContextToMsg({}, arguments.nome, arguments.cpf, kept);
    checkRequestDocument(document, arguments);

    const auto body = glb::service::openRequest({}, arguments.nome, arguments.cpf, kept);
    GLB_FUZZ_CHECK(body->size() == document.size());
    std::string streamed;
    std::string piece(std::size_t{1} + (size % 40000), '\0');
    while (const std::size_t got = body->read(piece.data(), piece.size()))
        streamed.append(piece, 0, got);
    GLB_FUZZ_CHECK(streamed == document);
    return 0;
}
