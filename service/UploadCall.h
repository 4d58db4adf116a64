#pragma once

#include <filesystem>

#include "service/UploadHost.h"

namespace glb::service {

/// EnviarArquivos: uploads every plain file of `pasta` in one UploadBackup call with the
/// window's name and CPF/CNPJ, through a new service proxy at the built-in endpoint, and
/// shows the service's reply in the information box. Every failure arrives as an error.
void EnviarArquivos(const std::filesystem::path& pasta, UploadHost& host);

} // namespace glb::service
