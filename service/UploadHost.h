#pragma once

#include <string>

namespace glb::service {

/// What the upload call needs from the window that runs it.
class UploadHost
{
public:
    virtual ~UploadHost() = default;
    /// Lets pending window events be processed once.
    virtual void processPendingEvents() = 0;
    /// The current text of edtNome, exactly as it stands (UTF-8).
    virtual std::string nomeText() const = 0;
    /// The current text of edtCPFCNPJ, exactly as it stands (UTF-8).
    virtual std::string cpfText() const = 0;
    /// The information box: `text` with the application title as caption, no icon, "OK".
    virtual void showInformation(const std::string& text) = 0;
};

} // namespace glb::service
