#pragma once

#include <string_view>

namespace glb::backup {

// The product's fixed installation layout and the names the send command builds from it.
// Windows paths; glb::platform::fixedPath maps them on other platforms.
inline constexpr std::string_view kPastaGlebariumFazendas = R"(C:\Glebarium\Fazendas)";
inline constexpr std::string_view kRaizFazendas = R"(C:\Glebarium\Fazendas\)";
inline constexpr std::string_view kPastaFinanceiro = R"(C:\Glebarium\Financeiro)";
/// PastaEnvio: the staging folder's name, beside the program file.
inline constexpr std::string_view kPastaEnvio = "tmpbackupEnviado";
inline constexpr std::string_view kPrefixoBackup = "Backup";
inline constexpr std::string_view kNomeBackupFinanceiro = "BackupFinanceiro";
inline constexpr std::string_view kExtensaoZip = ".zip";

inline constexpr std::string_view kSenhaTabela = "tabularia487";
inline constexpr std::string_view kSqlFazendas = "SELECT Fazenda,Diretorio FROM FAZENDAS ORDER BY Fazenda";

} // namespace glb::backup
