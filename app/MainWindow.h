#pragma once

#include "app/TaskbarProgress.h"
#include "backup/CommandHost.h"
#include "backup/SendStatus.h"
#include "backup/farmlist/FarmQuery.h"

#include <QWidget>
#include <memory>
#include <optional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace glb::backup {
class SendBackupCommand;
}

namespace glb::app {

/// TfrmBackup (frmBackup): the program's one window. Owns its controls and the farm-list
/// query, and is the host of the send command behind "&Enviar", which the program attaches.
class TfrmBackup : public QWidget, public backup::CommandHost
{
    Q_OBJECT
public:
    /// Builds the window and runs FormCreate. `query` is qryGlebarium (a TQuery unless a
    /// test stands in for it).
    explicit TfrmBackup(std::unique_ptr<backup::FarmQuery> query = nullptr, QWidget* parent = nullptr);
    ~TfrmBackup() override;

    /// True when FormCreate found no installation and asked the event loop to end.
    bool terminationRequested() const noexcept { return m_terminationRequested; }

    /// qryGlebarium, for the send command.
    backup::FarmQuery& qryGlebarium() noexcept { return *m_qryGlebarium; }
    /// The command that "&Enviar" runs; it must outlive the window's use of it. Without one,
    /// a press does nothing.
    void setSendCommand(backup::SendBackupCommand* command) noexcept { m_command = command; }

    /// What the window showed of the send in progress when it last looked (a few times a
    /// second), none outside a send.
    const std::optional<backup::SendStatus::View>& sendStatus() const noexcept { return m_lastStatus; }
    /// The share on the window's taskbar button (Windows).
    const TaskbarProgress& taskbarProgress() const noexcept { return m_taskbar; }

    using QWidget::setFocus;

    // backup::CommandHost
    void processPendingEvents() override;
    void processEventsUntil(StepEnd& end) override;
    std::string nomeText() const override;
    std::string cpfText() const override;
    void showInformation(const std::string& text) override;
    bool contratoChecked() const override;
    void setFocus(backup::FormControl control) override;
    void mostrarAguarde(const std::string& mensagem) override;
    void followProgress(const backup::SendProgress& progress) override;
    void esconderAguarde() override;
    void setFooterEnabled(bool enabled) override;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    /// FormClose: closes the farm list; the close proceeds, except while a send runs. Once
    /// its overlay is up, a close asks whether to cancel the send, and "Sim" cancels it and
    /// closes the window when the send's clean-up has run.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    /// Title, icon, frame, fixed size, background and font.
    void setUpWindow();
    /// gbBackupDados with its labels, the two edits and the consent box.
    void createDataGroup();
    /// pnlBotoes with "&Enviar" and "Fechar".
    void createFooter();
    /// Labels sized to their text; any text that a substitute font makes wider than its room
    /// drawn condensed to fit.
    void keepTextsWhole();
    /// Tab order, the E key's shortcut and the first focus.
    void setUpKeyboard();
    void FormCreate();
    void btnEnviarBackupClick();
    void btnCancelarClick();
    /// The followed progress in the overlay (its share and the detail line), in the caption and
    /// on the taskbar button.
    void showProgress();
    /// Asks "Cancelar o envio do backup?" while a send runs, and cancels it on "Sim"; with
    /// `thenClose`, the window closes once the send's clean-up has run.
    void askToCancel(bool thenClose);

    std::unique_ptr<backup::FarmQuery> m_qryGlebarium;
    backup::SendBackupCommand* m_command = nullptr;
    const backup::SendProgress* m_progress = nullptr; ///< followed while the overlay is up
    std::unique_ptr<backup::SendStatus> m_status;     ///< what is shown of it
    std::optional<backup::SendStatus::View> m_lastStatus;
    TaskbarProgress m_taskbar{this}; ///< the share on the taskbar button while a send runs
    QTimer* m_progressTimer = nullptr;
    bool m_asking = false;         ///< the cancel question is open
    bool m_closeAfterSend = false; ///< a close was confirmed while the send ran
    bool m_terminationRequested = false;
    bool m_placed = false;

    QGroupBox* gbBackupDados = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* edtNome = nullptr;
    QLineEdit* edtCPFCNPJ = nullptr;
    QCheckBox* cbContrato = nullptr;
    QWidget* pnlBotoes = nullptr;
    QPushButton* btnEnviarBackup = nullptr;
    QPushButton* btnCancelar = nullptr;
};

} // namespace glb::app
