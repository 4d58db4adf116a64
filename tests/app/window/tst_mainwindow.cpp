// The main window: controls, fonts, keys, placement, the installation check, closing and
// what it does as the send command's host.

#include "app/FormControls.h"
#include "app/MainWindow.h"
#include "app/MessageBoxes.h"
#include "app/overlay/OverlayPanel.h"
#include "app/overlay/WaitOverlay.h"
#include "backup/SendBackupFactory.h"
#include "backup/farmlist/FarmQuery.h"
#include "common/Platform.h"
#include "common/SendCancel.h"
#include "service/CurlTransport.h"
#include "service/ServiceContract.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace glb;
using app::TfrmBackup;

namespace {

const std::string kReply = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
                           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
                           "<r><return>Backup recebido</return></r></SOAP-ENV:Body></SOAP-ENV:Envelope>";

/// Stands in for qryGlebarium and keeps a log of what the window asked of it.
class QueryLog : public backup::FarmQuery
{
public:
    explicit QueryLog(std::vector<std::string>& log)
        : m_log(log)
    {
    }
    void close() override { m_log.emplace_back("close"); }
    void setDatabaseName(const std::filesystem::path& folder) override
    {
        m_log.push_back("setDatabaseName " + folder.string());
    }
    void addPassword(const std::string&) override { m_log.emplace_back("addPassword"); }
    void setSql(const std::string&) override { m_log.emplace_back("setSql"); }
    void open() override { m_log.emplace_back("open"); }
    void first() override {}
    void next() override {}
    bool eof() const override { return true; }
    std::string fieldAsText(const std::string&) const override { return {}; }

private:
    std::vector<std::string>& m_log;
};

void setWinePrefix(const std::filesystem::path& prefix)
{
    qputenv("WINEPREFIX", QByteArray::fromStdString(prefix.string()));
}

/// Types `text` one character at a time as keyboard input, accented letters included.
void typeText(QWidget* target, const QString& text)
{
    for (const QChar c : text) {
        QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

/// Where a widget shows its children whole, and the place of its title (a group box's).
struct ShownArea
{
    QRect inside;
    QRect title;
};

ShownArea shownArea(const QWidget* parent)
{
    const auto* group = qobject_cast<const QGroupBox*>(parent);
    if (group == nullptr) {
        return {parent->contentsRect(), {}};
    }
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    const QStyle* style = group->style();
    const int line = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, group);
    return {style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, group)
                .adjusted(line, line, -line, -line),
            style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group)};
}

/// Each text under `root` that is cut: wider or taller than the room its control draws it
/// in, or in a control that its parent does not show whole (inside a group box's frame,
/// clear of its title). `checked` counts the texts measured.
QStringList cutTexts(const QWidget* root, int& checked)
{
    QStringList cut;
    const auto check = [&cut](const QWidget* widget, const QString& text, QRect room) {
        const QFontMetrics metrics(widget->font());
        const QSize needed(metrics.size(Qt::TextShowMnemonic, text).width(), metrics.tightBoundingRect(text).height());
        if (needed.width() > room.width() || needed.height() > room.height()) {
            cut << QStringLiteral("%1: \"%2\" needs %3 x %4, has %5 x %6 (%7)")
                       .arg(widget->objectName(), text)
                       .arg(needed.width())
                       .arg(needed.height())
                       .arg(room.width())
                       .arg(room.height())
                       .arg(QFontInfo(widget->font()).family());
        }
        const auto [inside, title] = shownArea(widget->parentWidget());
        if (!inside.contains(widget->geometry()) || title.intersects(widget->geometry())) {
            cut << QStringLiteral("%1 at (%2, %3) %4 x %5 is not within (%6, %7) %8 x %9 of %10%11")
                       .arg(widget->objectName())
                       .arg(widget->x())
                       .arg(widget->y())
                       .arg(widget->width())
                       .arg(widget->height())
                       .arg(inside.x())
                       .arg(inside.y())
                       .arg(inside.width())
                       .arg(inside.height())
                       .arg(widget->parentWidget()->objectName(),
                            title.intersects(widget->geometry()) ? QStringLiteral(", over its title") : QString());
        }
    };
    checked = 0;
    for (const QWidget* widget : root->findChildren<QWidget*>()) {
        if (const auto* label = qobject_cast<const QLabel*>(widget)) {
            check(label, label->text(), label->contentsRect());
        } else if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const bool checkBox = qobject_cast<const QCheckBox*>(button) != nullptr;
            check(button, button->text(),
                  button->style()->subElementRect(
                      checkBox ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button));
        } else if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
            check(group, group->title(), shownArea(group).title.intersected(group->rect()));
        } else if (const auto* panel = qobject_cast<const app::OverlayPanel*>(widget)) {
            check(panel, panel->displayedText(), panel->contentsRect());
        } else {
            continue;
        }
        ++checked;
    }
    return cut;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    glb::test::TempDir m_installed;
    bool m_madeInstallation = false;
    std::unique_ptr<TfrmBackup> m_window;
    std::unique_ptr<backup::SendBackupCommand> m_command;
    std::vector<std::string> m_queryLog;

    template <typename T> T* control(const char* name) const
    {
        auto* found = m_window->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr) {
            qFatal("control %s not found", name);
        }
        return found;
    }

private slots:
    void initTestCase()
    {
        // As the program does before it makes its window.
        service::RegisterBackupGlebariumTypes();
        // An upload that cannot get through is tried three times: seconds apart here, not minutes.
        service::CurlTransport::Limits limits = service::CurlTransport::defaultLimits();
        limits.retryDelays = {std::chrono::seconds(1), std::chrono::seconds(1)};
        service::CurlTransport::setDefaultLimits(limits);
        setWinePrefix(m_installed.path());
        // On Linux the drive C: is the test's own folder; on Windows it is the machine's, where
        // the test makes the installation folder unless the product is there already.
        const auto glebarium = platform::fixedPath("C:\\Glebarium");
        m_madeInstallation = !std::filesystem::exists(glebarium);
        std::filesystem::create_directories(glebarium / "Fazendas");
    }

    void cleanupTestCase()
    {
#ifdef _WIN32
        if (m_madeInstallation) {
            std::filesystem::remove_all(platform::fixedPath("C:\\Glebarium"));
        }
#endif
    }

    void init()
    {
        m_queryLog.clear();
        m_window = std::make_unique<TfrmBackup>(std::make_unique<QueryLog>(m_queryLog));
        // As the program wires its window, connected whatever this machine's routes say.
        m_command = backup::makeSendBackupCommand(*m_window, m_window->qryGlebarium(), [] { return true; });
        m_window->setSendCommand(m_command.get());
        m_window->show();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    }

    void cleanup()
    {
        m_window.reset();
        m_command.reset();
    }

    void window()
    {
        QCOMPARE(m_window->objectName(), QStringLiteral("frmBackup"));
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Backup Glebarium"));
        QCOMPARE(m_window->size(), QSize(456, 312));
        QCOMPARE(m_window->minimumSize(), QSize(456, 312));
        QCOMPARE(m_window->maximumSize(), QSize(456, 312));
        const Qt::WindowFlags flags = m_window->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
        QList<QSize> sizes = m_window->windowIcon().availableSizes();
        std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
        QCOMPARE(sizes, (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
        for (const QSize& size : sizes) {
            QCOMPARE(m_window->windowIcon().pixmap(size).size(), size);
        }
        QCOMPARE(m_window->pos(),
                 app::centredTopLeft(m_window->screen()->virtualGeometry(), m_window->frameGeometry().size()));
        // FormCreate pointed the query at the installation.
        const auto fazendas = platform::fixedPath("C:\\Glebarium\\Fazendas");
        QCOMPARE(m_queryLog, (std::vector<std::string>{"close", "setDatabaseName " + fazendas.string()}));
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        const QString gb = QStringLiteral("gbBackupDados");
        const QString pnl = QStringLiteral("pnlBotoes");
        const QString label = QStringLiteral("QLabel");
        // Labels size to their text: only their corner is fixed (width and height -1).
        // clang-format off
        QTest::newRow("gbBackupDados")   << gb  << QStringLiteral("QGroupBox") << QStringLiteral("frmBackup") << QRect(8, 16, 440, 240) << QStringLiteral("Enviar Backup do Glebarium");
        QTest::newRow("Label5")          << QStringLiteral("Label5") << label << gb << QRect(244, 23, -1, -1) << QStringLiteral("* Todos os campos são obrigatórios");
        QTest::newRow("Label1")          << QStringLiteral("Label1") << label << gb << QRect(16, 30, -1, -1)  << QStringLiteral("Nome");
        QTest::newRow("edtNome")         << QStringLiteral("edtNome") << QStringLiteral("QLineEdit") << gb << QRect(16, 47, 409, 25) << QString();
        QTest::newRow("Label2")          << QStringLiteral("Label2") << label << gb << QRect(16, 78, -1, -1)  << QStringLiteral("CPF / CNPJ");
        QTest::newRow("edtCPFCNPJ")      << QStringLiteral("edtCPFCNPJ") << QStringLiteral("QLineEdit") << gb << QRect(16, 97, 409, 25) << QString();
        QTest::newRow("Label3")          << QStringLiteral("Label3") << label << gb << QRect(16, 142, -1, -1) << QStringLiteral("* Estou de acordo que estou enviando um backup");
        QTest::newRow("Label4")          << QStringLiteral("Label4") << label << gb << QRect(25, 161, -1, -1) << QStringLiteral(" para a Glebarium Software LTDA");
        QTest::newRow("cbContrato")      << QStringLiteral("cbContrato") << QStringLiteral("QCheckBox") << gb << QRect(16, 198, 275, 17) << QStringLiteral(" Eu li e concordo com o termo acima");
        QTest::newRow("pnlBotoes")       << pnl << QStringLiteral("QWidget") << QStringLiteral("frmBackup") << QRect(0, 275, 456, 37) << QString();
        QTest::newRow("btnEnviarBackup") << QStringLiteral("btnEnviarBackup") << QStringLiteral("QPushButton") << pnl << QRect(296, 7, 74, 23) << QStringLiteral("&Enviar");
        QTest::newRow("btnCancelar")     << QStringLiteral("btnCancelar") << QStringLiteral("QPushButton") << pnl << QRect(374, 7, 74, 23) << QStringLiteral("Fechar");
        // clang-format on
    }
    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        auto* widget = m_window->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        QVERIFY(widget->inherits(kind.toLatin1().constData()));
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        if (geometry.width() < 0) {
            QCOMPARE(widget->pos(), geometry.topLeft());
            QCOMPARE(widget->size(), widget->sizeHint());
        } else {
            QCOMPARE(widget->geometry(), geometry);
        }
        QString shown;
        if (auto* groupBox = qobject_cast<QGroupBox*>(widget)) {
            shown = groupBox->title();
        } else if (auto* label = qobject_cast<QLabel*>(widget)) {
            shown = label->text();
        } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
            shown = edit->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            shown = button->text();
        }
        QCOMPARE(shown, text);
        QVERIFY(control<QCheckBox>("cbContrato")->isChecked());
    }

    void fonts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("pixelSize");
        QTest::addColumn<bool>("italic");
        const QStringList regular = {
            QStringLiteral("frmBackup"),  QStringLiteral("gbBackupDados"),   QStringLiteral("Label1"),
            QStringLiteral("Label2"),     QStringLiteral("edtNome"),         QStringLiteral("edtCPFCNPJ"),
            QStringLiteral("cbContrato"), QStringLiteral("btnEnviarBackup"), QStringLiteral("btnCancelar")};
        for (const QString& name : regular) {
            QTest::newRow(name.toLatin1().constData()) << name << 13 << false;
        }
        QTest::newRow("Label5") << QStringLiteral("Label5") << 12 << true;
        QTest::newRow("Label3") << QStringLiteral("Label3") << 13 << true;
        QTest::newRow("Label4") << QStringLiteral("Label4") << 13 << true;
    }
    void fonts()
    {
        QFETCH(QString, name);
        QFETCH(int, pixelSize);
        QFETCH(bool, italic);
        QWidget* widget = name == m_window->objectName() ? m_window.get() : m_window->findChild<QWidget*>(name);
        QVERIFY(widget != nullptr);
        const QFont font = widget->font();
        QCOMPARE(font.family(), QStringLiteral("Segoe UI"));
        QCOMPARE(font.pixelSize(), pixelSize);
        QCOMPARE(font.italic(), italic);
        QCOMPARE(font.weight(), QFont::Normal);
    }

    void everyTextIsWhole()
    {
        // Whatever fonts this machine has. The wait panel is measured with the longest text
        // it shows.
        app::MostrarAguarde(m_window.get(), QStringLiteral("Enviando Backup"), true);
        app::AtualizarAguarde(m_window.get(), 100);
        int checked = 0;
        const QStringList cut = cutTexts(m_window.get(), checked);
        app::EsconderAguarde(m_window.get());
        QCOMPARE(checked, 10); // five labels, three buttons, the group box and the panel
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }

    void textsWiderThanTheirRoomAreCondensed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("roomPercent"); // of the room the text takes in the window's font
        QTest::addColumn<bool>("condensed");
        // clang-format off
        QTest::newRow("label with room to spare")  << QStringLiteral("QLabel")      << 110 << false;
        QTest::newRow("label past its parent")     << QStringLiteral("QLabel")      << 80  << true;
        QTest::newRow("check box with room")       << QStringLiteral("QCheckBox")   << 100 << false;
        QTest::newRow("check box too narrow")      << QStringLiteral("QCheckBox")   << 75  << true;
        QTest::newRow("button too narrow")         << QStringLiteral("QPushButton") << 70  << true;
        // clang-format on
    }
    void textsWiderThanTheirRoomAreCondensed()
    {
        // A font wider than the window's own stands in here as a room narrower than the text.
        QFETCH(QString, kind);
        QFETCH(int, roomPercent);
        QFETCH(bool, condensed);
        const QString text = QStringLiteral("* Todos os &campos são obrigatórios");
        QWidget parent;
        parent.setFont(m_window->font());
        QWidget* control = nullptr;
        int natural = 0; // the room the text takes at its natural width
        if (kind == QStringLiteral("QLabel")) {
            auto* label = new QLabel(text, &parent);
            label->move(10, 5);
            natural = 10 + label->sizeHint().width();
            parent.resize(natural * roomPercent / 100, 40);
            app::fitText(label);
            control = label;
        } else {
            QAbstractButton* button = kind == QStringLiteral("QCheckBox")
                                          ? static_cast<QAbstractButton*>(new QCheckBox(text, &parent))
                                          : new QPushButton(text, &parent);
            QStyleOptionButton option;
            option.initFrom(button);
            const QRect contents = button->style()->subElementRect(
                kind == QStringLiteral("QCheckBox") ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents,
                &option, button);
            natural =
                button->width() - contents.width() + button->fontMetrics().size(Qt::TextShowMnemonic, text).width();
            parent.resize(natural + 20, 40);
            button->setGeometry(10, 5, natural * roomPercent / 100, 23);
            app::fitText(button);
            control = button;
        }
        int checked = 0;
        const QStringList cut = cutTexts(&parent, checked);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
        QCOMPARE(checked, 1);
        const int stretch = control->font().stretch();
        QCOMPARE(stretch != QFont::AnyStretch && stretch != QFont::Unstretched, condensed);
        // Only the width changes: the size, style and family are the window's.
        QCOMPARE(control->font().pixelSize(), m_window->font().pixelSize());
        QCOMPARE(control->font().families(), m_window->font().families());
        QVERIFY(!control->font().italic());
    }

    void whereTheWindowsFontsAreMissingTheInstalledFallbackIsUsed()
    {
        // The scripts install the fallback family; its widths are close enough that every
        // text fits at its natural width.
        QVERIFY2(QFontDatabase::hasFamily(QStringLiteral("Open Sans")), "fonts-open-sans is not installed");
        app::MostrarAguarde(m_window.get(), QStringLiteral("Enviando Backup"), true);
        QWidgetList controls = {m_window.get()};
        controls += m_window->findChildren<QWidget*>();
        for (const QWidget* widget : std::as_const(controls)) {
            const QString requested = widget->font().family();
            const QString expected = QFontDatabase::hasFamily(requested) ? requested : QStringLiteral("Open Sans");
            QCOMPARE(QFontInfo(widget->font()).family(), expected);
            QVERIFY2(widget->font().stretch() == QFont::AnyStretch || widget->font().stretch() == QFont::Unstretched,
                     qPrintable(widget->objectName()));
        }
        app::EsconderAguarde(m_window.get());
    }

    void focusStartsInNomeAndTabsInOrder()
    {
        QCOMPARE(QApplication::focusWidget(), control<QLineEdit>("edtNome"));
        const QStringList order = {QStringLiteral("edtCPFCNPJ"), QStringLiteral("cbContrato"),
                                   QStringLiteral("btnEnviarBackup"), QStringLiteral("btnCancelar"),
                                   QStringLiteral("edtNome")};
        for (const QString& next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), next);
        }
    }

    void keys_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("nome");
        QTest::addColumn<QString>("cpf");
        QTest::addColumn<int>("enviar");
        QTest::addColumn<int>("fechar");
        const QString nome = QStringLiteral("edtNome");
        const QString cpf = QStringLiteral("edtCPFCNPJ");
        const QString cb = QStringLiteral("cbContrato");
        const QString enviar = QStringLiteral("btnEnviarBackup");
        const QString fechar = QStringLiteral("btnCancelar");
        const int none = Qt::NoModifier;
        const QString empty;
        // clang-format off
        QTest::newRow("name upper-cased")       << nome << QStringLiteral("joão da silva-ç") << 0 << none << QStringLiteral("JOÃO DA SILVA-Ç") << empty << 0 << 0;
        QTest::newRow("e typed into the name")  << nome << QStringLiteral("e")               << 0 << none << QStringLiteral("E") << empty << 0 << 0;
        QTest::newRow("cpf takes digits only")  << cpf  << QStringLiteral("1a2.3-4 5/6é7E")  << 0 << none << empty << QStringLiteral("1234567") << 0 << 0;
        QTest::newRow("Enter in the name")      << nome << empty << int(Qt::Key_Return) << none << empty << empty << 0 << 0;
        QTest::newRow("keypad Enter in cpf")    << cpf  << empty << int(Qt::Key_Enter)  << int(Qt::KeypadModifier) << empty << empty << 0 << 0;
        QTest::newRow("Enter on the check box") << cb   << empty << int(Qt::Key_Return) << none << empty << empty << 0 << 0;
        QTest::newRow("Esc in the name")        << nome << empty << int(Qt::Key_Escape) << none << empty << empty << 0 << 0;
        QTest::newRow("Esc on the check box")   << cb   << empty << int(Qt::Key_Escape) << none << empty << empty << 0 << 0;
        QTest::newRow("Esc on Fechar")          << fechar << empty << int(Qt::Key_Escape) << none << empty << empty << 0 << 0;
        QTest::newRow("E on the check box")     << cb   << empty << int(Qt::Key_E) << none << empty << empty << 1 << 0;
        QTest::newRow("shifted E on Fechar")    << fechar << empty << int(Qt::Key_E) << int(Qt::ShiftModifier) << empty << empty << 1 << 0;
        QTest::newRow("E on Enviar")            << enviar << empty << int(Qt::Key_E) << none << empty << empty << 1 << 0;
        QTest::newRow("Ctrl+E on the check box") << cb  << empty << int(Qt::Key_E) << int(Qt::ControlModifier) << empty << empty << 0 << 0;
        QTest::newRow("Alt+E in the name")      << nome << empty << int(Qt::Key_E) << int(Qt::AltModifier) << empty << empty << 1 << 0;
        QTest::newRow("Alt+E in cpf")           << cpf  << empty << int(Qt::Key_E) << int(Qt::AltModifier) << empty << empty << 1 << 0;
        QTest::newRow("Space on Enviar")        << enviar << empty << int(Qt::Key_Space)  << none << empty << empty << 1 << 0;
        QTest::newRow("Enter on Enviar")        << enviar << empty << int(Qt::Key_Return) << none << empty << empty << 1 << 0;
        QTest::newRow("Space on Fechar")        << fechar << empty << int(Qt::Key_Space)  << none << empty << empty << 0 << 1;
        QTest::newRow("Enter on Fechar")        << fechar << empty << int(Qt::Key_Return) << none << empty << empty << 0 << 1;
        // clang-format on
    }
    void keys()
    {
        QFETCH(QString, target);
        QFETCH(QString, typed);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, nome);
        QFETCH(QString, cpf);
        QFETCH(int, enviar);
        QFETCH(int, fechar);
        // The empty form makes a click of "&Enviar" end at its first check, silently.
        app::BoxRecorder boxes;
        QSignalSpy enviarClicks(control<QPushButton>("btnEnviarBackup"), &QPushButton::clicked);
        QSignalSpy fecharClicks(control<QPushButton>("btnCancelar"), &QPushButton::clicked);
        auto* widget = m_window->findChild<QWidget*>(target);
        widget->setFocus();
        QCOMPARE(QApplication::focusWidget(), widget);

        typeText(widget, typed);
        if (key != 0) {
            QTest::keyClick(widget, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        }
        // A mnemonic and the E key click a moment later, holding the button down meanwhile,
        // so a button still down is a click on its way.
        QTRY_COMPARE(enviarClicks.count(), enviar);
        QCOMPARE(fecharClicks.count(), fechar);
        QVERIFY(!control<QPushButton>("btnEnviarBackup")->isDown());
        QVERIFY(!control<QPushButton>("btnCancelar")->isDown());
        QCOMPARE(control<QLineEdit>("edtNome")->text(), nome);
        QCOMPARE(control<QLineEdit>("edtCPFCNPJ")->text(), cpf);
        QVERIFY(control<QCheckBox>("cbContrato")->isChecked());
        QCOMPARE(m_window->isVisible(), fechar == 0);
        QVERIFY(boxes.boxes().empty());
    }

    void pastedTextIsNotFiltered()
    {
        QApplication::clipboard()->setText(QStringLiteral("123.456.789-00"));
        auto* cpf = control<QLineEdit>("edtCPFCNPJ");
        cpf->setFocus();
        QTest::keyClick(cpf, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(cpf->text(), QStringLiteral("123.456.789-00"));
        // Editing keys still work in the filtered edit.
        QTest::keyClick(cpf, Qt::Key_Backspace);
        QTest::keyClick(cpf, Qt::Key_Home);
        QTest::keyClick(cpf, Qt::Key_Delete);
        QCOMPARE(cpf->text(), QStringLiteral("23.456.789-0"));
        QCOMPARE(m_window->cpfText(), std::string("23.456.789-0"));
    }

    void editsDoNotLimitTheirText()
    {
        // Past the toolkit's default limit of 32,767 characters, typed and set alike.
        const QString longText(40000, u'A');
        for (const char* name : {"edtNome", "edtCPFCNPJ"}) {
            auto* edit = control<QLineEdit>(name);
            edit->setText(longText);
            QCOMPARE(edit->text().size(), longText.size());
            edit->end(false);
            typeText(edit, QStringLiteral("1"));
            QCOMPARE(edit->text().size(), longText.size() + 1);
        }
    }

    void clientAreaHasTheButtonFaceColour()
    {
        QPalette palette = m_window->palette();
        palette.setColor(QPalette::Window, QColor(200, 0, 0));
        palette.setColor(QPalette::Button, QColor(0, 150, 0));
        m_window->setPalette(palette);
        const QImage image = m_window->grab().toImage();
        // Beside the group box, above the footer bar: the window's own background.
        QCOMPARE(QColor(image.pixel(2, 100)), QColor(0, 150, 0));
        QCOMPARE(QColor(image.pixel(450, 265)), QColor(0, 150, 0));
    }

    void footerHasTheEtchedLineAndKeepsItsButtonsRight()
    {
        auto* footer = control<QWidget>("pnlBotoes");
        const QImage image = footer->grab().toImage();
        const QPalette palette = footer->palette();
        QCOMPARE(image.pixel(200, 0), palette.color(QPalette::Dark).rgb());
        QCOMPARE(image.pixel(200, 1), palette.color(QPalette::Light).rgb());
        QCOMPARE(image.pixel(200, 2), palette.color(QPalette::Button).rgb());

        footer->resize(600, 50);
        QCOMPARE(control<QPushButton>("btnCancelar")->geometry(), QRect(600 - 8 - 74, 50 - 7 - 23, 74, 23));
        QCOMPARE(control<QPushButton>("btnEnviarBackup")->geometry(), QRect(600 - 8 - 74 - 4 - 74, 20, 74, 23));
    }

    void hostForwardsToTheControls()
    {
        auto* nome = control<QLineEdit>("edtNome");
        typeText(nome, QStringLiteral("josé"));
        QCOMPARE(m_window->nomeText(), std::string("JOS\xC3\x89"));
        QVERIFY(m_window->contratoChecked());
        control<QCheckBox>("cbContrato")->setChecked(false);
        QVERIFY(!m_window->contratoChecked());

        m_window->setFocus(backup::FormControl::edtCPFCNPJ);
        QCOMPARE(QApplication::focusWidget(), control<QLineEdit>("edtCPFCNPJ"));
        m_window->setFocus(backup::FormControl::cbContrato);
        QCOMPARE(QApplication::focusWidget(), control<QCheckBox>("cbContrato"));
        m_window->setFocus(backup::FormControl::edtNome);
        QCOMPARE(QApplication::focusWidget(), nome);

        m_window->setFooterEnabled(false);
        QVERIFY(!control<QPushButton>("btnEnviarBackup")->isEnabled());
        QVERIFY(!control<QPushButton>("btnCancelar")->isEnabled());
        m_window->setFooterEnabled(true);
        QVERIFY(control<QPushButton>("btnCancelar")->isEnabled());

        app::BoxRecorder boxes;
        m_window->showInformation("Você não está conectado a Internet");
        QCOMPARE(boxes.boxes().size(), 1u);
        QCOMPARE(boxes.boxes()[0].text, QStringLiteral("Você não está conectado a Internet"));
        QCOMPARE(boxes.boxes()[0].icon, QMessageBox::NoIcon);
    }

    void aFailedSendEndsInTheErrorBoxAfterTheCleanUp()
    {
        // The vendor's host is reached through a proxy on a local port that refuses, so the
        // upload fails without leaving this machine.
        QTcpServer refusing;
        QVERIFY(refusing.listen(QHostAddress::LocalHost));
        const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(refusing.serverPort());
        refusing.close();
        qputenv("http_proxy", proxy);
        qputenv("no_proxy", "");
        typeText(control<QLineEdit>("edtNome"), QStringLiteral("jose"));
        typeText(control<QLineEdit>("edtCPFCNPJ"), QStringLiteral("12345678901"));
        m_queryLog.clear();

        const std::filesystem::path staging = platform::executableDirectory() / "tmpbackupEnviado";
        app::BoxRecorder boxes;
        bool cleanAtBox = false;
        boxes.setOnShow([&](const app::ShownBox&) {
            cleanAtBox = m_window->isEnabled() && control<QWidget>("pnlBotoes")->isEnabled() &&
                         !std::filesystem::exists(staging) &&
                         m_window->windowTitle() == QStringLiteral("Backup Glebarium");
        });
        // Each failed attempt is followed by a wait the overlay and the caption count down.
        QStringList details;
        QStringList captions;
        bool pausedOnTheTaskbar = true;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, [&] {
            if (const auto* panel = m_window->findChild<app::OverlayPanel*>(QStringLiteral("pngAguarde"))) {
                if (!panel->detail().isEmpty() && !details.contains(panel->detail())) {
                    details << panel->detail();
                    captions << m_window->windowTitle();
                    pausedOnTheTaskbar = pausedOnTheTaskbar &&
                                         m_window->taskbarProgress().state() == app::TaskbarProgress::State::Paused;
                }
            }
        });
        sampler.start(20);
        control<QPushButton>("btnEnviarBackup")->click();
        sampler.stop();
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        QVERIFY(pausedOnTheTaskbar);
        QCOMPARE(m_window->taskbarProgress().state(), app::TaskbarProgress::State::None);
        QCOMPARE(details, QStringList({QStringLiteral("Conexão perdida; nova tentativa em 1 s (2 de 3)"),
                                       QStringLiteral("Conexão perdida; nova tentativa em 1 s (3 de 3)")}));
        QVERIFY2(captions.size() == 2 && captions[1].endsWith(QStringLiteral(
                                             "Conexão perdida; nova tentativa em 1 s (3 de 3) - Backup Glebarium")),
                 qPrintable(captions.join(QStringLiteral(" | "))));

        QCOMPARE(boxes.boxes().size(), 1u);
        QCOMPARE(boxes.boxes()[0].icon, QMessageBox::Critical);
        QCOMPARE(boxes.boxes()[0].caption, QStringLiteral("tst_mainwindow"));
        // The upload itself failed, not an earlier step.
        QVERIFY(boxes.boxes()[0].text.contains(QStringLiteral("www.glebarium.com.br/web/backup_antigo.php")));
        QVERIFY(cleanAtBox);
        QVERIFY(std::find(m_queryLog.begin(), m_queryLog.end(), "open") != m_queryLog.end());
        QCOMPARE(m_queryLog.back(), std::string("close"));
        // The window is back to idle with the entries as typed.
        QCOMPARE(control<QLineEdit>("edtNome")->text(), QStringLiteral("JOSE"));
        QVERIFY(m_window->isEnabled());
    }

    void theOverlayShowsAShareOfTheSendThatGrows()
    {
        // The financial folder alone, 3 MB of noise, sent through a service that reads at
        // 1 MB/s: four seconds of upload.
        const auto financeiro = platform::fixedPath("C:\\Glebarium\\Financeiro");
#ifdef _WIN32
        // libcurl on Windows sizes its send buffer to the link (the ideal send backlog), and
        // under Wine that takes in megabytes at once: four times the data at four times the
        // pace keeps seconds of the upload in sight.
        constexpr std::size_t kNoise = 12000000;
        constexpr std::size_t kPace = 4000000;
#else
        constexpr std::size_t kNoise = 3000000;
        constexpr std::size_t kPace = 1000000;
#endif
        glb::test::writeFile(financeiro / "CAIXA.DB", glb::test::randomBytes(kNoise, 5));
        const std::string reply = "<?xml version=\"1.0\"?><SOAP-ENV:Envelope "
                                  "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
                                  "<r><return>Backup recebido</return></r></SOAP-ENV:Body></SOAP-ENV:Envelope>";
        glb::test::LoopbackHttpServer service(
            [&reply](const glb::test::LoopbackHttpServer::Request&) {
                return glb::test::LoopbackHttpServer::xmlReply(reply);
            },
            kPace);
        qputenv("http_proxy", QByteArray::fromStdString(service.url("")));
        qputenv("no_proxy", "");
        typeText(control<QLineEdit>("edtNome"), QStringLiteral("jose"));
        typeText(control<QLineEdit>("edtCPFCNPJ"), QStringLiteral("12345678901"));

        // What the panel shows, each time it changes, as the window paints it.
        QStringList shown;
        const auto look = [this, &shown] {
            if (const auto* panel = m_window->findChild<app::OverlayPanel*>(QStringLiteral("pngAguarde"))) {
                if (shown.isEmpty() || shown.back() != panel->displayedText()) {
                    shown << panel->displayedText();
                }
            }
        };
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, this, look);
        sampler.start(20);
        app::BoxRecorder boxes;
        boxes.setOnShow([&look](const app::ShownBox&) { look(); });
        control<QPushButton>("btnEnviarBackup")->click();
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        std::filesystem::remove_all(financeiro);

        QCOMPARE(boxes.boxes().size(), 1u);
        QCOMPARE(boxes.boxes()[0].text, QStringLiteral("Backup recebido"));
        QVERIFY2(shown.size() >= 4, qPrintable(shown.join(QStringLiteral(" | "))));
        QCOMPARE(shown.front(), QStringLiteral("Enviando Backup ..."));
        int last = -1;
        for (const QString& text : shown.mid(1)) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^Enviando Backup \\.\\.\\. (\\d+)%$")).match(text);
            QVERIFY2(match.hasMatch(), qPrintable(text));
            const int percent = match.captured(1).toInt();
            QVERIFY2(percent > last, qPrintable(shown.join(QStringLiteral(" | "))));
            last = percent;
        }
        QCOMPARE(last, 100); // the whole request was out when the reply came
    }

    void cancellingTheSend_data()
    {
        QTest::addColumn<bool>("closeBox"); ///< the close button, or Escape
        QTest::addColumn<bool>("sim");
        QTest::addColumn<bool>("awaitingReply"); ///< or while the request goes out
        QTest::addColumn<QString>("box");
        const QString notSent = QStringLiteral("Envio cancelado. O backup não foi enviado.");
        const QString maybeReceived = QString::fromStdString(ESendCancelled::afterRequestSent().message());
        QTest::newRow("Escape while uploading, Sim") << false << true << false << notSent;
        QTest::newRow("close while uploading, Sim") << true << true << false << notSent;
        QTest::newRow("Escape while uploading, Não") << false << false << false << QStringLiteral("Backup recebido");
        QTest::newRow("Escape awaiting the reply, Sim") << false << true << true << maybeReceived;
    }
    void cancellingTheSend()
    {
        QFETCH(bool, closeBox);
        QFETCH(bool, sim);
        QFETCH(bool, awaitingReply);
        QFETCH(QString, box);
        // Four seconds of upload, many times what the system's buffers take in at once.
        const auto financeiro = platform::fixedPath("C:\\Glebarium\\Financeiro");
        constexpr std::size_t kNoise = 12000000;
        constexpr std::size_t kPace = 4000000;
        glb::test::writeFile(financeiro / "CAIXA.DB", glb::test::randomBytes(kNoise, 7));
        // A service that reads slowly; awaited, it takes the request and says nothing.
        glb::test::LoopbackHttpServer service(
            [awaitingReply](const glb::test::LoopbackHttpServer::Request&) {
                if (awaitingReply) {
                    glb::test::LoopbackHttpServer::Reply silent;
                    silent.stall = true;
                    return silent;
                }
                return glb::test::LoopbackHttpServer::xmlReply(kReply);
            },
            kPace);
        qputenv("http_proxy", QByteArray::fromStdString(service.url("")));
        qputenv("no_proxy", "");
        typeText(control<QLineEdit>("edtNome"), QStringLiteral("jose"));
        typeText(control<QLineEdit>("edtCPFCNPJ"), QStringLiteral("12345678901"));

        // The user asks once the send is in the phase: the request going out, or all of it in.
        bool asked = false;
        QString captionWhileSending;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, [&] {
            const std::optional<backup::SendStatus::View>& status = m_window->sendStatus();
            if (asked || !status || status->requestLength == 0) {
                return;
            }
            const bool inPhase = awaitingReply
                                     ? !service.requests().empty()
                                     : status->requestSent > 0 && status->requestSent < status->requestLength * 3 / 4;
            if (!inPhase) {
                return;
            }
            asked = true;
            captionWhileSending = m_window->windowTitle();
            if (closeBox) {
                m_window->windowHandle()->close();
            } else {
                QTest::keyClick(m_window.get(), Qt::Key_Escape);
            }
        });
        watcher.start(10);
        const std::filesystem::path staging = platform::executableDirectory() / "tmpbackupEnviado";
        app::BoxRecorder boxes;
        boxes.setAnswer([sim](const app::ShownBox&) { return sim; });
        bool cleanAtBox = false;
        boxes.setOnShow([&](const app::ShownBox&) {
            cleanAtBox =
                !std::filesystem::exists(staging) && m_window->windowTitle() == QStringLiteral("Backup Glebarium");
        });
        control<QPushButton>("btnEnviarBackup")->click();
        watcher.stop();
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        std::filesystem::remove_all(financeiro);

        QVERIFY(asked);
        QVERIFY2(captionWhileSending.contains(QStringLiteral("% - ")), qPrintable(captionWhileSending));
        QCOMPARE(boxes.boxes().size(), 2u);
        QCOMPARE(boxes.boxes()[0].icon, QMessageBox::Question);
        QCOMPARE(boxes.boxes()[0].text, QStringLiteral("Cancelar o envio do backup?"));
        QCOMPARE(boxes.boxes()[1].icon, QMessageBox::NoIcon);
        QCOMPARE(boxes.boxes()[1].text, box);
        if (sim) {
            QVERIFY(cleanAtBox);
            // Cut before its last byte, the request never reached the service whole.
            QCOMPARE(service.requests().size(), awaitingReply ? 1u : 0u);
        }
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Backup Glebarium"));
        if (closeBox) {
            QTRY_VERIFY(!m_window->isVisible());
        } else {
            QVERIFY(m_window->isVisible());
            QVERIFY(m_window->isEnabled());
            QVERIFY(control<QWidget>("pnlBotoes")->isEnabled());
        }
    }

    void theTimeLeftIsToldFromTheRecentRate()
    {
        // About twelve seconds of upload at a steady 2 MB/s.
        const auto financeiro = platform::fixedPath("C:\\Glebarium\\Financeiro");
        glb::test::writeFile(financeiro / "CAIXA.DB", glb::test::randomBytes(18000000, 9));
        glb::test::LoopbackHttpServer service(
            [](const glb::test::LoopbackHttpServer::Request&) {
                return glb::test::LoopbackHttpServer::xmlReply(kReply);
            },
            2000000);
        qputenv("http_proxy", QByteArray::fromStdString(service.url("")));
        qputenv("no_proxy", "");
        typeText(control<QLineEdit>("edtNome"), QStringLiteral("jose"));
        typeText(control<QLineEdit>("edtCPFCNPJ"), QStringLiteral("12345678901"));

        // The time left the window tells once half the request is out, and when the rest was out.
        QElapsedTimer clock;
        std::optional<std::pair<qint64, std::chrono::seconds>> atHalf;
        std::optional<qint64> allOut;
        QString detailAtHalf;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, this, [&] {
            const std::optional<backup::SendStatus::View>& status = m_window->sendStatus();
            if (!status || status->requestLength == 0) {
                return;
            }
            if (!atHalf && status->requestSent >= status->requestLength / 2 && status->timeLeft) {
                atHalf.emplace(clock.elapsed(), *status->timeLeft);
                detailAtHalf = m_window->findChild<app::OverlayPanel*>(QStringLiteral("pngAguarde"))->detail();
            }
            if (!allOut && status->requestSent >= status->requestLength) {
                allOut = clock.elapsed();
            }
        });
        watcher.start(10);
        clock.start();
        app::BoxRecorder boxes;
        // The window looks a few times a second: a request whose last megabytes the system takes
        // in at once (libcurl's send buffer on Windows) may be answered before it looks again.
        boxes.setOnShow([&](const app::ShownBox&) {
            if (!allOut) {
                allOut = clock.elapsed();
            }
        });
        control<QPushButton>("btnEnviarBackup")->click();
        watcher.stop();
        qunsetenv("http_proxy");
        qunsetenv("no_proxy");
        std::filesystem::remove_all(financeiro);

        QCOMPARE(boxes.boxes().size(), 1u);
        QVERIFY(atHalf.has_value());
        QVERIFY(allOut.has_value());
        const double told = static_cast<double>(atHalf->second.count());
        const double took = static_cast<double>(*allOut - atHalf->first) / 1000.0;
        QVERIFY2(std::abs(told - took) <= 0.3 * took,
                 qPrintable(QStringLiteral("told %1 s at half way, the rest took %2 s").arg(told).arg(took)));
        QCOMPARE(detailAtHalf, QStringLiteral("menos de 1 min"));
    }

    void closing_data()
    {
        QTest::addColumn<bool>("closeBox");
        QTest::newRow("close box") << true;
        QTest::newRow("Fechar") << false;
    }
    void closing()
    {
        QFETCH(bool, closeBox);
        m_queryLog.clear();
        if (closeBox) {
            m_window->windowHandle()->close();
        } else {
            control<QPushButton>("btnCancelar")->click();
        }
        QTRY_VERIFY(!m_window->isVisible());
        QCOMPARE(m_queryLog, std::vector<std::string>{"close"});
    }

    void aDisabledWindowCannotBeClosed()
    {
        m_queryLog.clear();
        m_window->setEnabled(false);
        QVERIFY(!m_window->close());
        QVERIFY(m_window->isVisible());
        QVERIFY(m_queryLog.empty());
        m_window->setEnabled(true);
        QVERIFY(m_window->close());
        QCOMPARE(m_queryLog, std::vector<std::string>{"close"});
    }

    void withoutTheProductTheProgramEnds()
    {
        m_window.reset();
        std::vector<std::string> log;
        app::BoxRecorder boxes;
#ifdef _WIN32
        // The machine's own C:\Glebarium: taken away only when this test made it.
        if (!m_madeInstallation) {
            QSKIP("C:\\Glebarium holds the product on this machine");
        }
        std::filesystem::remove_all(platform::fixedPath("C:\\Glebarium"));
        TfrmBackup window(std::make_unique<QueryLog>(log));
        std::filesystem::create_directories(platform::fixedPath("C:\\Glebarium\\Fazendas"));
#else
        glb::test::TempDir empty;
        setWinePrefix(empty.path());
        TfrmBackup window(std::make_unique<QueryLog>(log));
        setWinePrefix(m_installed.path());
#endif

        QCOMPARE(boxes.boxes().size(), 1u);
        QCOMPARE(boxes.boxes()[0].caption, QStringLiteral("tst_mainwindow"));
        QCOMPARE(boxes.boxes()[0].text, QStringLiteral("O Glebarium não está instalado na pasta C:\\Glebarium"));
        QCOMPARE(boxes.boxes()[0].icon, QMessageBox::NoIcon);
        QVERIFY(window.terminationRequested());
        QVERIFY(log.empty());

        // The event loop ends as soon as it runs, without closing the window; the
        // watchdog only keeps a broken build from hanging the test run.
        window.show();
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(7); });
        watchdog.start(20000);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(watchdog.isActive());
        QVERIFY(log.empty());
        QCOMPARE(boxes.boxes().size(), 1u);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
