#include "service/ServiceContract.h"

#include "service/Registry.h"
#include "service/UploadCall.h"

namespace glb::service {

const std::string& arquivos::BUF() const
{
    if (FBUFFile) {
        FBUF = ArquivoParaBase64(*FBUFFile);
        FBUFFile.reset();
    }
    return FBUF;
}

void arquivos::setBUF(std::string value)
{
    FBUF = std::move(value);
    FBUFFile.reset();
}

void arquivos::setBUFFile(std::filesystem::path path)
{
    FBUF.clear();
    FBUFFile = std::move(path);
}

void RegisterBackupGlebariumTypes()
{
    Registry& registry = Registry::global();

    InterfaceEntry port;
    port.key = std::string(kBackupGlebariumPortTypeGuid);
    port.name = "BackupGlebariumPortType";
    port.ns = std::string(kBackupGlebariumNamespace);
    port.encoding = std::string(kBackupGlebariumEncoding);
    port.operations = {std::string(kUploadBackupOperation)};
    registry.registerInterface(std::move(port));

    registry.registerDefaultSoapAction(kBackupGlebariumPortTypeGuid, std::string(kUploadBackupAction));

    TypeEntry array;
    array.name = std::string(kArquivoArrayTypeName);
    array.ns = std::string(kWebBackupGlebariumNamespace);
    array.xmlName = std::string(kArquivoArrayTypeName);
    registry.registerType(std::move(array));

    TypeEntry record;
    record.name = std::string(kArquivosTypeName);
    record.ns = std::string(kWebBackupGlebariumNamespace);
    record.xmlName = std::string(kArquivosTypeName);
    registry.registerClass(std::move(record));
}

} // namespace glb::service
