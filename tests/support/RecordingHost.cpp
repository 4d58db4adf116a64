#include "tests/support/RecordingHost.h"

namespace glb::test {

std::string controlName(backup::FormControl control)
{
    switch (control) {
    case backup::FormControl::edtNome:
        return "edtNome";
    case backup::FormControl::edtCPFCNPJ:
        return "edtCPFCNPJ";
    case backup::FormControl::cbContrato:
        return "cbContrato";
    }
    return "?";
}

void RecordingHost::processPendingEvents()
{
    note("processPendingEvents");
    if (onProcessPendingEvents) {
        onProcessPendingEvents();
    }
}

void RecordingHost::showInformation(const std::string& text)
{
    note("showInformation(" + text + ")");
    m_informations.push_back(text);
}

void RecordingHost::setFocus(backup::FormControl control)
{
    note("setFocus(" + controlName(control) + ")");
    m_focus = control;
}

void RecordingHost::mostrarAguarde(const std::string& mensagem)
{
    note("mostrarAguarde(" + mensagem + ")");
    m_windowEnabled = false;
    if (onMostrarAguarde) {
        onMostrarAguarde();
    }
}

void RecordingHost::esconderAguarde()
{
    note("esconderAguarde");
    m_windowEnabled = true;
    if (onEsconderAguarde) {
        onEsconderAguarde();
    }
}

void RecordingHost::setFooterEnabled(bool enabled)
{
    note(enabled ? "setFooterEnabled(true)" : "setFooterEnabled(false)");
    m_footerEnabled = enabled;
}

bool RecordingHost::conectadoInternet()
{
    note("conectadoInternet");
    return conectado;
}

} // namespace glb::test
