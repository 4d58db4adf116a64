#pragma once

#include "service/RequestBody.h"
#include "service/ServiceContract.h"

#include <memory>
#include <string>
#include <string_view>

namespace glb::service {

/// The names a request is written with; the proxy takes them from the registry.
struct RequestNames
{
    std::string_view operation = kUploadBackupOperation;
    std::string_view interfaceNamespace = kBackupGlebariumNamespace;
    std::string_view recordNamespace = kWebBackupGlebariumNamespace;
    std::string_view recordName = kArquivosTypeName;
};

/// InvContextToMsg: the request body of one UploadBackup call, a SOAP 1.1 RPC/encoded
/// envelope in UTF-8 with each record as a multi-reference element after the operation.
///
/// The text is written directly, without whitespace of its own, into one buffer reserved
/// to the final size; a record whose BUF names a file has the file's Base64 text encoded
/// straight into that buffer (opened with other readers allowed and no writer: one that cannot
/// be opened raises "Cannot open file "%s". %s"). Empty text gives a start tag directly followed
/// by its end tag. Text content is escaped so that any input gives well-formed XML
/// that reads back as the same text:
/// - "&", "<", ">" become "&amp;", "&lt;", "&gt;";
/// - CR becomes "&#13;" (a raw CR would reach the service as LF);
/// - characters XML 1.0 forbids (controls other than tab, LF and CR; U+FFFE, U+FFFF) and
///   every byte that is not part of valid UTF-8 become U+FFFD, one per maximal bad
///   sequence; every other character is written as its UTF-8 bytes.
std::string InvContextToMsg(const RequestNames& names, std::string_view nome, std::string_view cpf,
                            const ArquivoArray& arquivo);

/// True when `text` reads back from a request exactly as it is: valid UTF-8 without a
/// character that the request writes as U+FFFD.
bool readsBackUnchanged(std::string_view text);

/// The same bytes as a body produced while it is sent, so that its size never costs memory.
/// Every file that a record's BUF names is opened here, with other readers allowed and no
/// writer ("Cannot open file "%s". %s" when it cannot be), and held until the body goes; the
/// sizes the files have now make the body's size. A file that then yields other bytes than
/// counted (it shrank or grew), or that was written to while it was read (another change
/// time or another file at its end), fails the read with EStagedFileChanged. The records are not
/// needed once the body is made.
std::unique_ptr<RequestBody> openRequest(const RequestNames& names, std::string_view nome, std::string_view cpf,
                                         const ArquivoArray& arquivo);

} // namespace glb::service
