#pragma once

#include "service/ServiceContract.h"
#include "service/UploadHost.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace glb::service {

/// Makes the service interface for one upload.
using PortFactory = std::function<std::shared_ptr<BackupGlebariumPortType>()>;

/// EnviarArquivos: uploads every plain file of `pasta` in one UploadBackup call with the
/// window's name and CPF/CNPJ, through a new service proxy at the built-in endpoint, and
/// shows the service's reply in the information box. Every failure arrives as an error.
///
/// Each record's BUF names its file (arquivos::setBUFFile), so the request writer reads
/// and encodes the files straight into the request: a file that cannot be opened then
/// stops the call while the request is written, before anything is sent.
void EnviarArquivos(const std::filesystem::path& pasta, UploadHost& host);

/// The same, with the service interface made by `makePort`.
void EnviarArquivos(const std::filesystem::path& pasta, UploadHost& host, const PortFactory& makePort);

/// ArquivoParaBase64: the Base64 text form of the file's whole content. The file is open
/// for reading with other readers allowed and no writer; one that cannot be opened raises
/// "Cannot open file "%s". %s". It is read in bounded pieces encoded as they come, so only
/// the text is held in full (encodeFileBase64).
std::string ArquivoParaBase64(const std::filesystem::path& path);

} // namespace glb::service
