#pragma once

#include "common/Error.h"

#include <string>
#include <string_view>

namespace glb::backup {

/// A Diretorio value of the farm table that is not a plain folder name: used as given it
/// would pack a folder outside the farm root or write an archive outside the staging folder.
class EUnsafeFolderName : public Error
{
public:
    using Error::Error;

    /// "Nome de pasta inválido na tabela de fazendas: "%s"", control characters shown as \xNN.
    static EUnsafeFolderName forDiretorio(std::string_view diretorio)
    {
        std::string shown;
        for (const char c : diretorio) {
            const auto code = static_cast<unsigned char>(c);
            if (code < 0x20 || code == 0x7F) {
                shown += "\\x" + hexUpper(code, 2);
            } else {
                shown += c;
            }
        }
        return EUnsafeFolderName("Nome de pasta inválido na tabela de fazendas: \"" + shown + "\"");
    }
};

} // namespace glb::backup
