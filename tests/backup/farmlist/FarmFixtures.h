#pragma once

// Farm tables shared by the reader and query tests.

#include "ParadoxWriter.h"

#include <string>

namespace glb::test {

inline PxField alpha(const std::string& name, std::uint8_t size)
{
    return {name, 0x01, size};
}

/// A FAZENDAS table of the product's shape: Fazenda A40, Diretorio A60, plus a few typed
/// fields, with `rows` of (Fazenda, Diretorio) and blanks where a cell is null.
inline PxTable farmTable(std::vector<std::pair<PxCell, PxCell>> rows, int version = 12, int codePage = 1252)
{
    PxTable t;
    t.version = version;
    t.codePage = codePage;
    t.fields = {alpha("Fazenda", 40), alpha("Diretorio", 60)};
    for (auto& [fazenda, diretorio] : rows) {
        t.rows.push_back({fazenda, diretorio});
    }
    return t;
}

} // namespace glb::test
