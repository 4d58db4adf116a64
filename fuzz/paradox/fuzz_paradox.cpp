// libFuzzer target for the table reader: any bytes must give rows or an engine error,
// never a crash, a hang or an allocation beyond the input's size.

#include "backup/paradox/Crypt.h"
#include "backup/paradox/DBEngineError.h"
#include "backup/paradox/Table.h"

#include <cstdint>
#include <string>

using namespace glb::backup;
using namespace glb::backup::paradox;

namespace {

constexpr const char* kPassword = "fuzz";

std::uint32_t le32(const std::string& b, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    }
    return v;
}

void put32(std::string& b, std::size_t at, std::uint32_t v)
{
    for (std::size_t i = 0; i < 4; ++i) {
        b[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
    }
}

// A protected input gets the checksum of kPassword where its key is, so the block
// decryption and everything after it are reached too.
void unlock(std::string& b)
{
    if (b.size() < 0x60) {
        return;
    }
    const std::uint32_t key = passwordChecksum(kPassword);
    const std::uint32_t enc1 = le32(b, 0x25);
    if (static_cast<unsigned char>(b[0x39]) <= 4 || (enc1 != 0 && enc1 != 0xFF00FF00U)) {
        if (enc1 != 0) {
            put32(b, 0x25, key);
        }
    } else if (le32(b, 0x5C) != 0) {
        put32(b, 0x5C, key);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    unlock(bytes);
    try {
        Table table(memorySource(bytes), "FUZZ.DB");
        table.readRecords({kPassword});
        Value value;
        std::string key;
        for (std::size_t row = 0; row < table.recordCount(); ++row) {
            for (std::size_t field = 0; field < table.fields().size(); ++field) {
                table.value(row, field, value);
                if (value.kind == Value::Kind::Text) {
                    table.sortOrder().keyInto(value.text, key);
                }
            }
        }
    } catch (const EDBEngineError&) {
        // the expected outcome for most inputs
    }
    return 0;
}
