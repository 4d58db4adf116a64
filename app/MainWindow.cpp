#include "app/MainWindow.h"

#include "app/CommandGuard.h"
#include "app/FormControls.h"
#include "app/MessageBoxes.h"
#include "app/UiEvents.h"
#include "app/overlay/FontFallback.h"
#include "app/overlay/WaitOverlay.h"
#include "backup/Installation.h"
#include "backup/SendBackupCommand.h"
#include "backup/farmlist/FarmList.h"
#include "common/Platform.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

// Resources of a static library must be registered by name, outside any namespace.
static void initAppResources()
{
    Q_INIT_RESOURCE(app);
}

namespace glb::app {

namespace {

const QString kTitle = QStringLiteral("Backup Glebarium");
const QString kCancelQuestion = QStringLiteral("Cancelar o envio do backup?");

constexpr int kClientWidth = 456;
constexpr int kClientHeight = 312;
constexpr int kFooterHeight = 37;
// No edit limits its text; the toolkit's edits otherwise stop at 32,767 characters.
constexpr int kNoLengthLimit = std::numeric_limits<int>::max();

QFont windowFont()
{
    QFont font;
    font.setFamilies(withFallbackFamily(QStringLiteral("Segoe UI")));
    font.setPixelSize(13);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

QIcon programIcon()
{
    initAppResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/icon-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text, QPoint topLeft)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->move(topLeft);
    return label;
}

} // namespace

TfrmBackup::TfrmBackup(std::unique_ptr<backup::FarmQuery> query, QWidget* parent)
    : QWidget(parent)
    , m_qryGlebarium(query ? std::move(query) : std::make_unique<backup::TQuery>())
{
    setUpWindow();
    createDataGroup();
    createFooter();
    keepTextsWhole();
    setUpKeyboard();
    runGuarded([this] { FormCreate(); });
}

void TfrmBackup::setUpWindow()
{
    setObjectName(QStringLiteral("frmBackup"));
    setWindowTitle(kTitle);
    setWindowIcon(programIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    // The client area is painted in the button-face colour: a window paints its Window
    // colour unless it fills its background role itself.
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    setFont(windowFont());
}

void TfrmBackup::createDataGroup()
{
    gbBackupDados = new QGroupBox(QStringLiteral("Enviar Backup do Glebarium"), this);
    gbBackupDados->setObjectName(QStringLiteral("gbBackupDados"));
    gbBackupDados->setGeometry(8, 16, 440, 240);

    Label5 = makeLabel(gbBackupDados, QStringLiteral("Label5"), QStringLiteral("* Todos os campos são obrigatórios"),
                       {244, 23});
    QFont small = windowFont();
    small.setPixelSize(12);
    small.setItalic(true);
    Label5->setFont(small);
    Label1 = makeLabel(gbBackupDados, QStringLiteral("Label1"), QStringLiteral("Nome"), {16, 30});

    edtNome = new QLineEdit(gbBackupDados);
    edtNome->setObjectName(QStringLiteral("edtNome"));
    edtNome->setGeometry(16, 47, 409, 25);
    edtNome->setValidator(new UpperCaseValidator(edtNome));
    edtNome->setMaxLength(kNoLengthLimit);

    Label2 = makeLabel(gbBackupDados, QStringLiteral("Label2"), QStringLiteral("CPF / CNPJ"), {16, 78});

    edtCPFCNPJ = new DigitsOnlyEdit(gbBackupDados);
    edtCPFCNPJ->setObjectName(QStringLiteral("edtCPFCNPJ"));
    edtCPFCNPJ->setGeometry(16, 97, 409, 25);
    edtCPFCNPJ->setInputMethodHints(Qt::ImhDigitsOnly);
    edtCPFCNPJ->setMaxLength(kNoLengthLimit);

    QFont italic = windowFont();
    italic.setItalic(true);
    Label3 = makeLabel(gbBackupDados, QStringLiteral("Label3"),
                       QStringLiteral("* Estou de acordo que estou enviando um backup"), {16, 142});
    Label3->setFont(italic);
    Label4 = makeLabel(gbBackupDados, QStringLiteral("Label4"), QStringLiteral(" para a Glebarium Software LTDA"),
                       {25, 161});
    Label4->setFont(italic);

    cbContrato = new QCheckBox(QStringLiteral(" Eu li e concordo com o termo acima"), gbBackupDados);
    cbContrato->setObjectName(QStringLiteral("cbContrato"));
    cbContrato->setGeometry(16, 198, 275, 17);
    cbContrato->setChecked(true);
}

void TfrmBackup::createFooter()
{
    pnlBotoes = new FooterBar(this);
    pnlBotoes->setObjectName(QStringLiteral("pnlBotoes"));
    pnlBotoes->setGeometry(0, kClientHeight - kFooterHeight, kClientWidth, kFooterHeight);

    btnEnviarBackup = new QPushButton(QStringLiteral("&Enviar"), pnlBotoes);
    btnEnviarBackup->setObjectName(QStringLiteral("btnEnviarBackup"));
    btnEnviarBackup->setGeometry(296, 7, 74, 23);
    btnCancelar = new QPushButton(QStringLiteral("Fechar"), pnlBotoes);
    btnCancelar->setObjectName(QStringLiteral("btnCancelar"));
    btnCancelar->setGeometry(374, 7, 74, 23);
    // A focused button is pressed with Enter as well as the space bar; there is still no
    // default button, since this is no dialog.
    for (QPushButton* button : {btnEnviarBackup, btnCancelar}) {
        button->setAutoDefault(true);
        button->setDefault(false);
    }
    connect(btnEnviarBackup, &QPushButton::clicked, this, &TfrmBackup::btnEnviarBackupClick);
    connect(btnCancelar, &QPushButton::clicked, this, &TfrmBackup::btnCancelarClick);
}

void TfrmBackup::keepTextsWhole()
{
    for (QLabel* label : {Label1, Label2, Label3, Label4, Label5}) {
        fitText(label);
    }
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{cbContrato, btnEnviarBackup, btnCancelar}) {
        fitText(button);
    }
}

void TfrmBackup::setUpKeyboard()
{
    QWidget::setTabOrder(edtNome, edtCPFCNPJ);
    QWidget::setTabOrder(edtCPFCNPJ, cbContrato);
    QWidget::setTabOrder(cbContrato, btnEnviarBackup);
    QWidget::setTabOrder(btnEnviarBackup, btnCancelar);
    // The E key alone presses "&Enviar" where no characters are typed.
    for (QWidget* control : {static_cast<QWidget*>(cbContrato), static_cast<QWidget*>(btnEnviarBackup),
                             static_cast<QWidget*>(btnCancelar)}) {
        control->installEventFilter(this);
    }
    edtNome->setFocus();
}

TfrmBackup::~TfrmBackup() = default;

void TfrmBackup::FormCreate()
{
    const std::filesystem::path fazendas = platform::fixedPath(backup::kPastaGlebariumFazendas);
    std::error_code error;
    if (std::filesystem::is_directory(fazendas, error)) {
        m_qryGlebarium->close();
        m_qryGlebarium->setDatabaseName(fazendas);
        return;
    }
    app::showInformation(QStringLiteral("O Glebarium não está instalado na pasta C:\\Glebarium"));
    m_terminationRequested = true;
    // Posted, so the loop that has not started yet ends as soon as it runs; exit() rather
    // than quit(), which would close the window and run FormClose.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TfrmBackup::btnEnviarBackupClick()
{
    runGuarded([this] {
        if (m_command != nullptr) {
            m_command->run();
        }
    });
    // A close confirmed during the send, now that its clean-up has run and its box was seen.
    if (m_closeAfterSend && (m_command == nullptr || !m_command->running())) {
        m_closeAfterSend = false;
        close();
    }
}

void TfrmBackup::askToCancel(bool thenClose)
{
    if (m_asking || m_progress == nullptr || m_command == nullptr || !m_command->running()) {
        return;
    }
    m_asking = true;
    const bool cancel = askYesNo(kCancelQuestion);
    m_asking = false;
    // The send may have come to its reply box meanwhile; the cancel then changes nothing there.
    if (cancel && m_command->running()) {
        m_closeAfterSend = m_closeAfterSend || thenClose;
        m_command->cancel();
    }
}

void TfrmBackup::btnCancelarClick()
{
    close();
}

void TfrmBackup::closeEvent(QCloseEvent* event)
{
    // While a send runs the window stays: the command still needs the query and the window.
    // Once the overlay is up, the user is asked whether to cancel the send (after this event,
    // outside the window system's close).
    if (!isEnabled() || (m_command != nullptr && m_command->running())) {
        event->ignore();
        if (m_progress != nullptr) {
            QTimer::singleShot(0, this, [this] { askToCancel(true); });
        }
        return;
    }
    runGuarded([this] { m_qryGlebarium->close(); });
    event->accept();
}

void TfrmBackup::showEvent(QShowEvent* event)
{
    if (!m_placed) {
        m_placed = true;
        if (const QScreen* desktop = screen()) {
            move(centredTopLeft(desktop->virtualGeometry(), frameGeometry().size()));
        }
    }
    QWidget::showEvent(event);
}

void TfrmBackup::resizeEvent(QResizeEvent* event)
{
    pnlBotoes->setGeometry(0, height() - kFooterHeight, width(), kFooterHeight);
    QWidget::resizeEvent(event);
}

bool TfrmBackup::eventFilter(QObject* watched, QEvent* event)
{
    // While a send runs the window takes no input, except Escape, which asks to cancel it.
    if (m_progress != nullptr && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        const auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->window() == this) {
            QTimer::singleShot(0, this, [this] { askToCancel(false); });
            return true;
        }
        return false;
    }
    const bool control = watched == cbContrato || watched == btnEnviarBackup || watched == btnCancelar;
    if (control && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers held = key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
        if (held == Qt::NoModifier && key->text().compare(QStringLiteral("e"), Qt::CaseInsensitive) == 0) {
            btnEnviarBackup->animateClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmBackup::processPendingEvents()
{
    processPendingUiEvents();
}

void TfrmBackup::processEventsUntil(StepEnd& end)
{
    processUiEventsUntil(end);
}

std::string TfrmBackup::nomeText() const
{
    return edtNome->text().toStdString();
}

std::string TfrmBackup::cpfText() const
{
    return edtCPFCNPJ->text().toStdString();
}

void TfrmBackup::showInformation(const std::string& text)
{
    showProgress(); // the overlay stays up under the box, showing how far the send came
    app::showInformation(QString::fromStdString(text));
}

bool TfrmBackup::contratoChecked() const
{
    return cbContrato->isChecked();
}

void TfrmBackup::setFocus(backup::FormControl control)
{
    switch (control) {
    case backup::FormControl::edtNome:
        edtNome->setFocus();
        break;
    case backup::FormControl::edtCPFCNPJ:
        edtCPFCNPJ->setFocus();
        break;
    case backup::FormControl::cbContrato:
        cbContrato->setFocus();
        break;
    }
}

void TfrmBackup::mostrarAguarde(const std::string& mensagem)
{
    MostrarAguarde(this, QString::fromStdString(mensagem), false);
}

void TfrmBackup::followProgress(const backup::SendProgress& progress)
{
    m_progress = &progress;
    m_status = std::make_unique<backup::SendStatus>(progress);
    // Escape reaches the disabled window only through the application.
    qApp->installEventFilter(this);
    if (m_progressTimer == nullptr) {
        m_progressTimer = new QTimer(this);
        // A few times a second: the share moves on visibly without costing the window work.
        m_progressTimer->setInterval(250);
        connect(m_progressTimer, &QTimer::timeout, this, &TfrmBackup::showProgress);
    }
    m_progressTimer->start();
}

void TfrmBackup::showProgress()
{
    if (m_status == nullptr) {
        return;
    }
    const backup::SendStatus::View& view = m_lastStatus.emplace(m_status->update(std::chrono::steady_clock::now()));
    if (view.percent) {
        AtualizarAguarde(this, *view.percent, QString::fromStdString(view.detail));
        m_taskbar.setPercent(*view.percent);
    }
    m_taskbar.setPaused(view.retryWait);
    // Readable on the taskbar while the window is minimised.
    setWindowTitle(QString::fromStdString(backup::SendStatus::caption(view, kTitle.toStdString())));
}

void TfrmBackup::esconderAguarde()
{
    if (m_progressTimer != nullptr) {
        m_progressTimer->stop();
    }
    qApp->removeEventFilter(this);
    m_progress = nullptr;
    m_status.reset();
    m_lastStatus.reset();
    setWindowTitle(kTitle);
    m_taskbar.clear();
    EsconderAguarde(this);
}

void TfrmBackup::setFooterEnabled(bool enabled)
{
    pnlBotoes->setEnabled(enabled);
}

} // namespace glb::app
