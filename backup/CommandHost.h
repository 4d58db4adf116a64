#pragma once

#include "service/UploadHost.h"

#include <string>

namespace glb::backup {

/// The controls the send command moves the focus to.
enum class FormControl
{
    edtNome,
    edtCPFCNPJ,
    cbContrato,
};

/// What the send command needs from the main window.
class CommandHost : public service::UploadHost
{
public:
    /// The state of cbContrato.
    virtual bool contratoChecked() const = 0;
    virtual void setFocus(FormControl control) = 0;
    /// MostrarAguarde on the window with `mensagem`, window disabled. May raise after the
    /// panel is in place (an image file the loader refuses).
    virtual void mostrarAguarde(const std::string& mensagem) = 0;
    /// EsconderAguarde on the window: overlay gone, pointer normal, window enabled, always.
    virtual void esconderAguarde() = 0;
    /// Enables or disables the footer bar pnlBotoes with both buttons.
    virtual void setFooterEnabled(bool enabled) = 0;
    /// ConectadoInternet.
    virtual bool conectadoInternet() = 0;
};

} // namespace glb::backup
