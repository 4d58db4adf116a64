#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace glb::service {

/// Key of BackupGlebariumPortType in the interface registry.
inline constexpr std::string_view kBackupGlebariumPortTypeGuid = "{DBA99AC6-2A09-2B89-4EF2-2A518AE366E0}";
/// Namespace of the interface and of its operation element.
inline constexpr std::string_view kBackupGlebariumNamespace = "urn:BackupGlebarium";
/// Namespace of the record and array types.
inline constexpr std::string_view kWebBackupGlebariumNamespace = "urn:WebBackupGlebarium";
/// Encoding name stored with the interface; the request is UTF-8 regardless.
inline constexpr std::string_view kBackupGlebariumEncoding = "ISO-8859-1";
/// The SOAPAction of every call.
inline constexpr std::string_view kUploadBackupAction = "UploadBackup";
/// The one operation of the interface.
inline constexpr std::string_view kUploadBackupOperation = "UploadBackup";
/// Names the types are registered under.
inline constexpr std::string_view kArquivoArrayTypeName = "ArquivoArray";
inline constexpr std::string_view kArquivosTypeName = "arquivos";

/// The vendor's endpoint and its WSDL location.
inline constexpr std::string_view kBackupGlebariumUrl = "http://www.glebarium.com.br/web/backup_antigo.php";
inline constexpr std::string_view kBackupGlebariumWsdl = "http://www.glebarium.com.br/web/backup_antigo.php?wsdl";
inline constexpr std::string_view kBackupGlebariumService = "BackupGlebarium";
inline constexpr std::string_view kBackupGlebariumPort = "BackupGlebariumPort";

/// One uploaded file: its base name and its whole content as Base64 text.
///
/// BUF either holds the text or names the file whose Base64 text form it is. A named file
/// is read only when the text is needed: the request writer encodes it straight into the
/// request, so the text is never held apart from the document; reading BUF() reads the
/// file then, raising the errors of ArquivoParaBase64.
class arquivos
{
public:
    arquivos() = default;
    arquivos(std::string nome, std::string buf)
        : FNOME(std::move(nome))
        , FBUF(std::move(buf))
    {
    }

    const std::string& NOME() const noexcept { return FNOME; }
    void setNOME(std::string value) { FNOME = std::move(value); }

    const std::string& BUF() const;
    void setBUF(std::string value);
    /// BUF becomes the Base64 text form of the file at `path`, read when it is needed.
    void setBUFFile(std::filesystem::path path);
    /// The file BUF stands for while it has not been read, else null.
    const std::filesystem::path* bufFile() const noexcept { return FBUFFile ? &*FBUFFile : nullptr; }

private:
    std::string FNOME;
    mutable std::string FBUF;
    mutable std::optional<std::filesystem::path> FBUFFile;
};

/// The uploaded files, in upload order.
using ArquivoArray = std::vector<std::unique_ptr<arquivos>>;

/// The vendor's backup service.
class BackupGlebariumPortType
{
public:
    virtual ~BackupGlebariumPortType() = default;

    /// Uploads the files with the customer's name and CPF/CNPJ and returns the service's
    /// reply. The array is handed over: the call owns the records from here on and may
    /// release each one's content as soon as it has been written into the request.
    virtual std::string UploadBackup(const std::string& nome, const std::string& cpf, ArquivoArray arquivo) = 0;
};

/// Makes the four registrations of the service contract, in their order. Called once at
/// program start, before the main window is created; a second call changes nothing.
void RegisterBackupGlebariumTypes();

} // namespace glb::service
