#pragma once

// What every request document must be, whatever the arguments it was written from. Kept
// apart from the target so that any source of request bytes can be checked the same way.

#include <string>
#include <string_view>
#include <vector>

namespace glb::fuzz {

/// One record as the caller gave it: NOME, and BUF either as text or as a file's bytes.
struct RequestRecord
{
    std::string nome;
    bool bufFromFile = false;
    std::string buf; ///< the BUF text, or the file's bytes
};

/// The arguments of one UploadBackup call, as given (before any escaping).
struct RequestArguments
{
    std::string nome;
    std::string cpf;
    std::vector<RequestRecord> records;
};

/// The text a receiver reads back from a text written by the request writer: valid UTF-8
/// characters that XML allows as they are (CR too), and U+FFFD for each character XML
/// forbids and for each maximal subpart of an ill-formed sequence (the longest start of
/// a sequence that could still become valid, else one byte).
std::string expectedReadBack(std::string_view given);

/// Aborts, saying what differs, unless `document` is a well-formed SOAP 1.1 request of
/// exactly the layout of an UploadBackup call with `arguments`: every name, namespace,
/// attribute and reference in place, no text besides the arguments', each text reading
/// back as expectedReadBack() of the given one, and each file-backed BUF being the
/// Base64 text form (76-character lines with CR LF) of the file's bytes.
void checkRequestDocument(std::string_view document, const RequestArguments& arguments);

} // namespace glb::fuzz
