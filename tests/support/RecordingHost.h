#pragma once

#include "backup/CommandHost.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace glb::test {

/// A CommandHost without a window: it answers from its fields and writes every call that
/// acts into one log, in order ("mostrarAguarde(Enviando Backup)", "setFocus(edtNome)", ...).
/// Reading the form's texts and the check box is not logged, nor is a wait for a worker step
/// (it blocks without events; waits() counts them). Other fakes may write into the same log
/// (note()) so that one sequence shows the order across all collaborators; a fake on a worker
/// thread writes while the host's thread waits. The hooks run after the call is logged and may
/// throw, except onProcessEventsUntil, which runs on the host's thread while the step runs.
class RecordingHost : public backup::CommandHost
{
public:
    std::string nome = "FULANO DE TAL";
    std::string cpf = "12345678901";
    bool contrato = true;

    std::function<void()> onProcessPendingEvents;
    std::function<void()> onProcessEventsUntil;
    std::function<void()> onMostrarAguarde;
    std::function<void()> onEsconderAguarde;
    std::function<void()> onShowInformation;

    /// Appends `entry` to the log.
    /// Appends `entry` to the log; any thread may (writers packing side by side do).
    void note(std::string entry)
    {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(entry));
    }
    const std::vector<std::string>& calls() const noexcept { return m_calls; }
    /// The texts of the information boxes, in order.
    const std::vector<std::string>& informations() const noexcept { return m_informations; }

    /// False from mostrarAguarde until esconderAguarde.
    bool windowEnabled() const noexcept { return m_windowEnabled; }
    bool footerEnabled() const noexcept { return m_footerEnabled; }
    std::optional<backup::FormControl> focus() const noexcept { return m_focus; }
    /// The number of worker steps waited for.
    int waits() const noexcept { return m_waits; }
    /// The thread the host was made on, which every call into it must come from.
    std::thread::id thread() const noexcept { return m_thread; }

    void processPendingEvents() override;
    void processEventsUntil(StepEnd& end) override;
    std::string nomeText() const override { return nome; }
    std::string cpfText() const override { return cpf; }
    void showInformation(const std::string& text) override;
    bool contratoChecked() const override { return contrato; }
    void setFocus(backup::FormControl control) override;
    void mostrarAguarde(const std::string& mensagem) override;
    void followProgress(const backup::SendProgress& progress) override;
    void esconderAguarde() override;
    /// The progress followed since the last mostrarAguarde, or none.
    const backup::SendProgress* progress() const noexcept { return m_progress; }
    void setFooterEnabled(bool enabled) override;

private:
    /// Notes a call, and a call that came from another thread than the host's.
    void call(std::string entry);

    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::vector<std::string> m_informations;
    bool m_windowEnabled = true;
    bool m_footerEnabled = true;
    std::optional<backup::FormControl> m_focus;
    int m_waits = 0;
    const backup::SendProgress* m_progress = nullptr;
    std::thread::id m_thread = std::this_thread::get_id();
};

/// "edtNome", "edtCPFCNPJ", "cbContrato".
std::string controlName(backup::FormControl control);

} // namespace glb::test
