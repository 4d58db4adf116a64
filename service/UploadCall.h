#pragma once

#include "common/WorkerThread.h"
#include "service/HttpTransport.h"
#include "service/RequestBody.h"
#include "service/ServiceContract.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace glb::service {

/// Makes the service interface for one upload.
using PortFactory = std::function<std::shared_ptr<BackupGlebariumPortType>()>;

/// EnviarArquivos: uploads every plain file of `pasta` in one UploadBackup call with the
/// customer's `nome` and `cpf` as typed, through a new service proxy at the built-in endpoint,
/// and returns the service's reply; every failure arrives as an error. `events` processes the
/// calling thread's pending events once before the folder is listed and once after; the call
/// itself (writing the request, the HTTP exchange, decoding the reply, releasing the proxy)
/// runs on a worker thread while `events` keeps the calling thread's events going. A folder
/// that does not exist gives a call with no records; one that exists but cannot be listed, or
/// whose listing breaks off, raises EFolderReadError and calls nothing.
///
/// Each record's BUF names its file (arquivos::setBUFFile): the request opens every file
/// before its first byte is sent (a file that cannot be opened stops the call then) and reads
/// and encodes them while they are sent.
///
/// `hooks` go to the service proxy the factory makes: its onSent is told on the worker thread how
/// much of the request has been handed to the HTTP library, its onRetry of a broken upload's
/// wait before it is tried again, and its cancel stops the call (ESendCancelled).
std::string EnviarArquivos(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                           EventPump& events, const SendHooks& hooks = {});

/// The same, with the service interface made by `makePort` (on the worker thread).
std::string EnviarArquivos(const std::filesystem::path& pasta, const std::string& nome, const std::string& cpf,
                           EventPump& events, const PortFactory& makePort, const SendHooks& hooks = {});

/// ArquivoParaBase64: the Base64 text form of the file's whole content. The file is open
/// for reading with other readers allowed and no writer; one that cannot be opened raises
/// "Cannot open file "%s". %s". It is read in bounded pieces encoded as they come, so only
/// the text is held in full (encodeFileBase64).
std::string ArquivoParaBase64(const std::filesystem::path& path);

} // namespace glb::service
