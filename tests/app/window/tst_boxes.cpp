// The application title, the error text, the guard and the two message boxes.

#include "app/AppTitle.h"
#include "app/CommandGuard.h"
#include "app/ErrorText.h"
#include "app/MessageBoxes.h"
#include "common/Error.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>
#include <stdexcept>

using namespace glb;
using namespace glb::app;
using namespace Qt::Literals::StringLiterals;

namespace {

/// Throws `outer` with `inner` nested inside it.
[[noreturn]] void throwNested(const std::string& inner, const std::string& outer)
{
    try {
        throw Error(inner);
    } catch (...) {
        std::throw_with_nested(Error(outer));
    }
}

QString textOf(const std::function<void()>& raise)
{
    try {
        raise();
    } catch (const std::exception& error) {
        return errorBoxText(error);
    }
    return QStringLiteral("<nothing raised>");
}

/// Runs `inspect` on the message box once it is up, then presses its only button.
void whenBoxIsUp(std::function<void(QMessageBox&)> inspect)
{
    QTimer::singleShot(0, [inspect = std::move(inspect)] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box != nullptr);
        inspect(*box);
        const auto buttons = box->buttons();
        QCOMPARE(buttons.size(), 1);
        buttons.front()->click();
    });
}

} // namespace

class TestBoxes : public QObject
{
    Q_OBJECT
private slots:
    void title_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        // clang-format off
        QTest::newRow("windows path, two dots") << QStringLiteral("C:\\Programas\\ENVIO.BACKUP.EXE") << QStringLiteral("Envio");
        QTest::newRow("mixed case")             << QStringLiteral("D:\\x\\Backupdados.exe")          << QStringLiteral("Backupdados");
#ifndef _WIN32 // "/" separates folders on Linux alone
        QTest::newRow("linux program")          << QStringLiteral("/opt/glb/BackupGlebarium")        << QStringLiteral("Backupglebarium");
        QTest::newRow("first keeps its case")   << QStringLiteral("/x/bACKUP.exe")                   << QStringLiteral("backup");
#endif
        QTest::newRow("first keeps its case \\") << QStringLiteral("C:\\x\\bACKUP.exe")              << QStringLiteral("backup");
        QTest::newRow("accented letters")       << QStringLiteral("C:\\ÉXITO.EXE")                   << QStringLiteral("Éxito");
        QTest::newRow("dot in a folder name")   << QStringLiteral("C:\\a.b\\Prog")                   << QStringLiteral("Prog");
        QTest::newRow("name begins with a dot") << QStringLiteral("C:\\x\\.hidden")                  << QString();
        QTest::newRow("bare name")              << QStringLiteral("SEND")                            << QStringLiteral("Send");
        // clang-format on
    }
    void title()
    {
        QFETCH(QString, path);
        QFETCH(QString, title);
        QCOMPARE(titleFromProgramPath(path), title);
    }

    void runningProgramTitle()
    {
        // This test's own file, tst_boxes: its first character keeps its case.
        QCOMPARE(applicationTitle(), QStringLiteral("tst_boxes"));
    }

    void errorText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        // clang-format off
        QTest::newRow("letter gets a dot")     << QStringLiteral("Stream read error")  << QStringLiteral("Stream read error.");
        QTest::newRow("digit gets a dot")      << QStringLiteral("error $2108")        << QStringLiteral("error $2108.");
        QTest::newRow("dot stays")             << QStringLiteral("Falhou.")            << QStringLiteral("Falhou.");
        QTest::newRow("parenthesis stays")     << QStringLiteral("erro (12)")          << QStringLiteral("erro (12)");
        QTest::newRow("comma stays")           << QStringLiteral("a,")                 << QStringLiteral("a,");
        QTest::newRow("space stays")           << QStringLiteral("a ")                 << QStringLiteral("a ");
        QTest::newRow("question mark")         << QStringLiteral("Conectado?")         << QStringLiteral("Conectado?.");
        QTest::newRow("colon")                 << QStringLiteral("Motivo:")            << QStringLiteral("Motivo:.");
        QTest::newRow("accented last letter")  << QStringLiteral("não está")           << QStringLiteral("não está.");
        QTest::newRow("empty stays empty")     << QString()                            << QString();
        // clang-format on
    }
    void errorText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(textOf([&] { throw Error(message.toStdString()); }), shown);
    }

    void errorTextTakesTheInnermostMessage()
    {
        QCOMPARE(textOf([] { throwNested("inner reason", "outer"); }), QStringLiteral("inner reason."));
        // Three levels: only the innermost counts.
        QCOMPARE(textOf([] {
                     try {
                         throwNested("deepest", "middle");
                     } catch (...) {
                         std::throw_with_nested(Error("top"));
                     }
                 }),
                 QStringLiteral("deepest."));
        // An innermost error without a message leaves the outer one.
        QCOMPARE(textOf([] { throwNested("", "outer"); }), QStringLiteral("outer."));
        QCOMPARE(textOf([] { throw std::runtime_error("plain failure"); }), QStringLiteral("plain failure."));
    }

    void centring_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("topLeft");
        // clang-format off
        QTest::newRow("one monitor")          << QRect(0, 0, 1920, 1080)    << QSize(456, 312)  << QPoint(732, 384);
        QTest::newRow("odd sizes round down") << QRect(0, 0, 1025, 769)     << QSize(457, 313)  << QPoint(284, 228);
        QTest::newRow("monitor on the left")  << QRect(-1280, 0, 3200, 1080) << QSize(456, 312) << QPoint(92, 384);
        QTest::newRow("wider than the area")  << QRect(0, 0, 400, 300)      << QSize(456, 312)  << QPoint(0, 0);
        QTest::newRow("clamped to a negative corner") << QRect(-1280, -200, 300, 200) << QSize(456, 312) << QPoint(-1280, -200);
        // clang-format on
    }
    void centring()
    {
        QFETCH(QRect, area);
        QFETCH(QSize, size);
        QFETCH(QPoint, topLeft);
        QCOMPARE(centredTopLeft(area, size), topLeft);
    }

    void cutToLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("lines");
        QTest::addColumn<QString>("shown");
        // clang-format off
        QTest::newRow("fits")                    << u"Backup recebido"_s  << 20 << 1 << u"Backup recebido"_s;
        QTest::newRow("exactly the lines")       << u"abcde\nfghij"_s     << 5  << 2 << u"abcde\nfghij"_s;
        QTest::newRow("a long line wraps")       << u"abcdefghijk"_s      << 5  << 2 << u"abcdefghij\u2026"_s;
        QTest::newRow("too many lines")          << u"a\nb\nc"_s          << 10 << 2 << u"a\nb\u2026"_s;
        QTest::newRow("a final line end stays")  << u"a\n"_s              << 10 << 1 << u"a\n"_s;
        QTest::newRow("blanks before the cut go") << u"ab  \ncd"_s        << 10 << 1 << u"ab\u2026"_s;
        QTest::newRow("a pair is never split")   << u"a\U0001F600b"_s      << 2  << 1 << u"a\u2026"_s;
        // clang-format on
    }
    void cutToLines()
    {
        QFETCH(QString, text);
        QFETCH(int, columns);
        QFETCH(int, lines);
        QFETCH(QString, shown);
        QCOMPARE(glb::app::cutToLines(text, columns, lines), shown);
    }

    void boxesShowAShortTextUnchangedAndCutAHugeOne()
    {
        BoxRecorder recorder;
        const QString reply = u"Backup recebido: 6 arquivos\nObrigado."_s;
        showInformation(reply);
        showError(reply);
        const QString huge(32 * 1024 * 1024, u'x');
        showInformation(huge);
        showError(huge);
        QCOMPARE(recorder.boxes().size(), 4u);
        QCOMPARE(recorder.boxes()[0].text, reply);
        QCOMPARE(recorder.boxes()[1].text, reply);
        for (const std::size_t i : {2u, 3u}) {
            const QString& shown = recorder.boxes()[i].text;
            QVERIFY(shown.endsWith(u'\u2026'));
            QVERIFY(huge.startsWith(shown.chopped(1)));
            QVERIFY2(shown.size() < 100000, qPrintable(QString::number(shown.size())));
        }
    }

    void hugeTextsGiveABoxWithinTheWorkArea_data()
    {
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("text");
        const QString lines = u"Linha de uma resposta longa do servi\u00E7o\n"_s.repeated(200000);
        const QString oneWord(8 * 1024 * 1024, u'W');
        const QString wideWords = u"WWWWWWWWW MMMMMMMMMMMMM "_s.repeated(300000);
        // clang-format off
        QTest::newRow("information, many lines") << false << lines;
        QTest::newRow("information, one word")   << false << oneWord;
        QTest::newRow("error, wide words")       << true  << wideWords;
        QTest::newRow("error, many lines")       << true  << lines;
        // clang-format on
    }
    void hugeTextsGiveABoxWithinTheWorkArea()
    {
        QFETCH(bool, error);
        QFETCH(QString, text);
        QWidget active;
        active.show();
        active.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&active));
        bool inspected = false;
        whenBoxIsUp([&](QMessageBox& box) {
            inspected = true;
            const QRect area = active.screen()->availableGeometry();
            QVERIFY2(area.contains(box.frameGeometry()),
                     qPrintable(u"box %1,%2 %3x%4 in %5x%6"_s.arg(box.frameGeometry().x())
                                    .arg(box.frameGeometry().y())
                                    .arg(box.frameGeometry().width())
                                    .arg(box.frameGeometry().height())
                                    .arg(area.width())
                                    .arg(area.height())));
            QVERIFY(box.text().endsWith(u'\u2026'));
            QVERIFY(text.startsWith(box.text().chopped(1)));
        });
        if (error) {
            showError(text);
        } else {
            showInformation(text);
        }
        QVERIFY(inspected);
    }

    void guardShowsErrorsButNotTheAbort()
    {
        BoxRecorder recorder;
        runGuarded([] { throw EAbort(); });
        QVERIFY(recorder.boxes().empty());

        runGuarded([] { throw EFCreateError("Cannot create file \"/x/a.zip\". Permission denied"); });
        QCOMPARE(recorder.boxes().size(), 1u);
        QCOMPARE(recorder.boxes()[0].caption, QStringLiteral("tst_boxes"));
        QCOMPARE(recorder.boxes()[0].text, QStringLiteral("Cannot create file \"/x/a.zip\". Permission denied."));
        QCOMPARE(recorder.boxes()[0].icon, QMessageBox::Critical);

        runGuarded([] { throw std::length_error("vector too long"); });
        QCOMPARE(recorder.boxes().size(), 2u);
        QCOMPARE(recorder.boxes()[1].text, QStringLiteral("vector too long."));
        QCOMPARE(recorder.boxes()[1].icon, QMessageBox::Critical);

        bool ran = false;
        runGuarded([&] { ran = true; });
        QVERIFY(ran);
        QCOMPARE(recorder.boxes().size(), 2u);
    }

    void guardEndsTheMouseGrabFirst()
    {
        QWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        for (const bool silent : {true, false}) {
            BoxRecorder recorder;
            widget.grabMouse();
            QCOMPARE(QWidget::mouseGrabber(), &widget);
            bool grabbedAtBox = true;
            recorder.setOnShow([&](const ShownBox&) { grabbedAtBox = QWidget::mouseGrabber() != nullptr; });
            runGuarded([silent] {
                if (silent) {
                    throw EAbort();
                }
                throw Error("x");
            });
            QCOMPARE(QWidget::mouseGrabber(), nullptr);
            if (!silent) {
                QVERIFY(!grabbedAtBox);
            }
        }
    }

    void realInformationBox()
    {
        QWidget active;
        active.show();
        active.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&active));
        // Markup must show as typed, not be rendered.
        const QString reply = QStringLiteral("<b>Backup recebido</b> & gravado");
        bool inspected = false;
        whenBoxIsUp([&](QMessageBox& box) {
            inspected = true;
            QCOMPARE(box.windowTitle(), QStringLiteral("tst_boxes"));
            QCOMPARE(box.text(), reply);
            QCOMPARE(box.textFormat(), Qt::PlainText);
            QCOMPARE(box.icon(), QMessageBox::NoIcon);
            QCOMPARE(box.windowModality(), Qt::ApplicationModal);
            QCOMPARE(box.buttons().front()->text().remove(u'&'), QStringLiteral("OK"));
            QCOMPARE(box.pos(), centredTopLeft(active.screen()->availableGeometry(), box.frameGeometry().size()));
        });
        showInformation(reply);
        QVERIFY(inspected);
    }

    void realErrorBox()
    {
        QWidget active;
        active.show();
        active.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&active));
        bool inspected = false;
        whenBoxIsUp([&](QMessageBox& box) {
            inspected = true;
            QCOMPARE(box.windowTitle(), QStringLiteral("tst_boxes"));
            QCOMPARE(box.text(), QStringLiteral("Falhou."));
            QCOMPARE(box.icon(), QMessageBox::Critical);
            QCOMPARE(box.parentWidget(), &active);
            QCOMPARE(box.buttons().front()->text().remove(u'&'), QStringLiteral("OK"));
        });
        runGuarded([] { throw Error("Falhou"); });
        QVERIFY(inspected);
    }
};

QTEST_MAIN(TestBoxes)
#include "tst_boxes.moc"
