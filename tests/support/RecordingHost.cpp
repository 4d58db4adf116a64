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

void RecordingHost::call(std::string entry)
{
    if (std::this_thread::get_id() != m_thread) {
        entry += " [on another thread]";
    }
    note(std::move(entry));
}

void RecordingHost::processPendingEvents()
{
    call("processPendingEvents");
    if (onProcessPendingEvents) {
        onProcessPendingEvents();
    }
}

void RecordingHost::showInformation(const std::string& text)
{
    call("showInformation(" + text + ")");
    m_informations.push_back(text);
    if (onShowInformation) {
        onShowInformation();
    }
}

void RecordingHost::setFocus(backup::FormControl control)
{
    call("setFocus(" + controlName(control) + ")");
    m_focus = control;
}

void RecordingHost::mostrarAguarde(const std::string& mensagem)
{
    call("mostrarAguarde(" + mensagem + ")");
    m_windowEnabled = false;
    if (onMostrarAguarde) {
        onMostrarAguarde();
    }
}

void RecordingHost::followProgress(const backup::SendProgress& progress)
{
    call("followProgress");
    m_progress = &progress;
}

void RecordingHost::esconderAguarde()
{
    call("esconderAguarde");
    m_windowEnabled = true;
    if (onEsconderAguarde) {
        onEsconderAguarde();
    }
}

void RecordingHost::setFooterEnabled(bool enabled)
{
    call(enabled ? "setFooterEnabled(true)" : "setFooterEnabled(false)");
    m_footerEnabled = enabled;
}

void RecordingHost::processEventsUntil(StepEnd& end)
{
    if (std::this_thread::get_id() != m_thread) {
        note("processEventsUntil [on another thread]");
    }
    ++m_waits;
    if (onProcessEventsUntil) {
        onProcessEventsUntil();
    }
    end.wait();
}

} // namespace glb::test
