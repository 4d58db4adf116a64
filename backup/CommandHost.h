#pragma once

#include "backup/SendProgress.h"
#include "common/WorkerThread.h"

#include <string>

namespace glb::backup {

/// The controls the send command moves the focus to.
enum class FormControl
{
    edtNome,
    edtCPFCNPJ,
    cbContrato,
};

/// What the send command needs from the main window. Every call comes on the window's own
/// thread; as an EventPump the window keeps its events going while a step of the send runs on
/// a worker thread.
class CommandHost : public EventPump
{
public:
    /// The current text of edtNome, exactly as it stands (UTF-8).
    virtual std::string nomeText() const = 0;
    /// The current text of edtCPFCNPJ, exactly as it stands (UTF-8).
    virtual std::string cpfText() const = 0;
    /// The state of cbContrato.
    virtual bool contratoChecked() const = 0;
    virtual void setFocus(FormControl control) = 0;
    /// The information box: `text` with the application title as caption, no icon, "OK".
    virtual void showInformation(const std::string& text) = 0;
    /// MostrarAguarde on the window with `mensagem`, window disabled. May raise after the
    /// panel is in place (an image file the loader refuses).
    virtual void mostrarAguarde(const std::string& mensagem) = 0;
    /// Shows, in the overlay, the share of the send that `progress` counts, a few times a
    /// second until esconderAguarde; `progress` outlives that.
    virtual void followProgress(const SendProgress& progress) = 0;
    /// EsconderAguarde on the window: overlay gone, pointer normal, window enabled, always.
    virtual void esconderAguarde() = 0;
    /// Enables or disables the footer bar pnlBotoes with both buttons.
    virtual void setFooterEnabled(bool enabled) = 0;
};

} // namespace glb::backup
