#pragma once

#include "common/Error.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace glb::backup {

/// A Diretorio value as a message shows it: control characters as \xNN.
inline std::string shownDiretorio(std::string_view diretorio)
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
    return shown;
}

/// A Diretorio value of the farm table, naming a folder that exists, that cannot be used as
/// given: it would pack a folder outside the farm root, write an archive outside the staging
/// folder, or give an archive whose name would not reach the service unchanged.
class EUnsafeFolderName : public Error
{
public:
    using Error::Error;

    /// "Nome de pasta inválido na tabela de fazendas: "%s"".
    static EUnsafeFolderName forDiretorio(std::string_view diretorio)
    {
        return EUnsafeFolderName("Nome de pasta inválido na tabela de fazendas: \"" + shownDiretorio(diretorio) + "\"");
    }
};

/// Two farm folders, or a farm folder and the financial folder, whose archives would reach
/// the service under one name (letter case aside), so that one would take the other's place.
class EArchiveNameCollision : public Error
{
public:
    using Error::Error;

    /// "As pastas "%s" e "%s" da tabela de fazendas dariam o mesmo arquivo de backup "%s"".
    static EArchiveNameCollision betweenFarms(std::string_view first, std::string_view second, std::string_view archive)
    {
        return EArchiveNameCollision("As pastas \"" + shownDiretorio(first) + "\" e \"" + shownDiretorio(second) +
                                     "\" da tabela de fazendas dariam o mesmo arquivo de backup \"" +
                                     std::string(archive) + "\"");
    }
    /// "A pasta "%s" da tabela de fazendas daria o arquivo de backup do financeiro, "%s"".
    static EArchiveNameCollision withFinancial(std::string_view diretorio, std::string_view archive)
    {
        return EArchiveNameCollision("A pasta \"" + shownDiretorio(diretorio) +
                                     "\" da tabela de fazendas daria o arquivo de backup do financeiro, \"" +
                                     std::string(archive) + "\"");
    }
};

/// More files to send than the system lets the program hold open at once, as the request
/// does while it goes out.
class ETooManyArchives : public Error
{
public:
    using Error::Error;

    /// "São %d arquivos de backup a enviar, mas o sistema só permite a este programa abrir
    /// mais %d arquivos ao mesmo tempo; o backup não foi enviado".
    static ETooManyArchives forCount(std::size_t files, std::size_t allowed)
    {
        return ETooManyArchives("São " + std::to_string(files) +
                                " arquivos de backup a enviar, mas o sistema só permite a este programa abrir mais " +
                                std::to_string(allowed) + " arquivos ao mesmo tempo; o backup não foi enviado");
    }
};

} // namespace glb::backup
