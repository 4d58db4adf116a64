// The wait overlay on a real window: panel, pointer, enabled state, image control and the
// animation's hand-over between its timer thread and the user-interface thread.

#include "GifFixture.h"
#include "app/overlay/OverlayAnimation.h"
#include "app/overlay/OverlayGeometry.h"
#include "app/overlay/OverlayPanel.h"
#include "app/overlay/WaitOverlay.h"
#include "common/Platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using glb::app::EsconderAguarde;
using glb::app::MostrarAguarde;
using glb::app::OverlayAnimation;
using glb::app::OverlayPanel;
using glb::test::GifFrame;
using glb::test::makeGif;
using namespace Qt::Literals::StringLiterals;
using namespace std::chrono_literals;

namespace {

QString imagePath()
{
    return QString::fromStdU16String((glb::platform::executableDirectory() / "carregandobarra.gif").u16string());
}

void putImage(const QByteArray& bytes)
{
    QFile file(imagePath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray projectImage()
{
    QFile file(qEnvironmentVariable("GLB_SOURCE_DIR") + u"/app/resources/carregandobarra.gif"_s);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Three one-pixel frames with a stored delay of 0, and a repeat count of one.
QByteArray zeroDelayImage()
{
    return makeGif(3, 12, {{0, 0, 1}, {0, 1, 2}, {0, 2, 3}}, 1);
}

OverlayPanel* panelOf(QWidget& window)
{
    return window.findChild<OverlayPanel*>(u"pngAguarde"_s, Qt::FindDirectChildrenOnly);
}

bool pointerIsDatabaseWait()
{
    const QCursor* cursor = QApplication::overrideCursor();
    return cursor != nullptr && cursor->shape() == Qt::BitmapCursor && cursor->hotSpot() == QPoint(0, 0) &&
           cursor->pixmap().size() == QSize(32, 32);
}

QString showError(QWidget& window)
{
    try {
        MostrarAguarde(&window, u"Enviando Backup"_s, false);
    } catch (const glb::Error& error) {
        return QString::fromStdString(error.message());
    }
    return u"(no error)"_s;
}

} // namespace

class TestWaitOverlay : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QFile::remove(imagePath());
        m_window = std::make_unique<QWidget>();
        m_window->resize(456, 312);
        // A control under the middle of the window: the panel must cover it.
        auto* below = new QPushButton(u"below"_s, m_window.get());
        below->setGeometry(0, 0, 456, 312);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void cleanup()
    {
        EsconderAguarde(m_window.get());
        m_window.reset();
        QFile::remove(imagePath());
    }

    void panelWithTextAlone_data()
    {
        QTest::addColumn<bool>("habilitar");
        QTest::newRow("window disabled") << false;
        QTest::newRow("window kept enabled") << true;
    }

    void panelWithTextAlone()
    {
        QFETCH(bool, habilitar);
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, habilitar);

        OverlayPanel* panel = panelOf(*m_window);
        QVERIFY(panel != nullptr);
        QCOMPARE(panel->text(), u"Enviando Backup ..."_s);
        QCOMPARE(panel->geometry(), glb::app::overlayPanelGeometry(m_window->frameGeometry().size(), 19));
        QCOMPARE(panel->size(), QSize(250, 79));
        QVERIFY(panel->isVisible());
        QCOMPARE(m_window->childAt(panel->geometry().center()), panel);
        QCOMPARE(panel->font().family(), u"Tahoma"_s);
        QCOMPARE(panel->font().pointSize(), 10);
        QVERIFY(panel->font().bold());
        QVERIFY(panel->autoFillBackground());
        QCOMPARE(panel->backgroundRole(), QPalette::Button);
        // The disabled window must not grey the message out.
        QCOMPARE(panel->palette().color(panel->foregroundRole()),
                 QApplication::palette().color(QPalette::Active, QPalette::WindowText));
        QCOMPARE(panel->findChild<QLabel*>(u"barraloadAguarde"_s), nullptr);
        QVERIFY(pointerIsDatabaseWait());
        QCOMPARE(m_window->isEnabled(), habilitar);

        EsconderAguarde(m_window.get());
        QCOMPARE(panelOf(*m_window), nullptr);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(m_window->isEnabled());
    }

    void showingTwiceLeavesOnePanel()
    {
        putImage(zeroDelayImage());
        MostrarAguarde(m_window.get(), u"Primeiro"_s, false);
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, false);
        const auto panels = m_window->findChildren<OverlayPanel*>();
        QCOMPARE(panels.size(), 1);
        QCOMPARE(panels.front()->text(), u"Enviando Backup ..."_s);
        QVERIFY(!m_window->isEnabled());
        // One pointer on the stack: hiding pops exactly what showing pushed.
        QApplication::restoreOverrideCursor();
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void hidingRestoresWhateverWasThere()
    {
        // Another child of that name that is no panel stays.
        auto* namesake = new QLabel(m_window.get());
        namesake->setObjectName(u"pngAguarde"_s);
        QApplication::setOverrideCursor(Qt::WaitCursor);
        QApplication::setOverrideCursor(Qt::BusyCursor);
        m_window->setEnabled(false);

        EsconderAguarde(nullptr);
        MostrarAguarde(nullptr, u"Enviando Backup"_s, false);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);

        EsconderAguarde(m_window.get());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(m_window->isEnabled());
        QCOMPARE(m_window->findChild<QLabel*>(u"pngAguarde"_s), namesake);
    }

    void imageControl_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<bool>("animated");
        QTest::newRow("the project's bar") << projectImage() << QSize(240, 16) << true;
        QTest::newRow("a still picture") << makeGif(20, 9, {{0, 4, 2}}) << QSize(20, 9) << false;
    }

    void imageControl()
    {
        QFETCH(QByteArray, image);
        QFETCH(QSize, screen);
        QFETCH(bool, animated);
        putImage(image);
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, false);

        OverlayPanel* panel = panelOf(*m_window);
        QVERIFY(panel != nullptr);
        auto* label = panel->findChild<QLabel*>(u"barraloadAguarde"_s, Qt::FindDirectChildrenOnly);
        QVERIFY(label != nullptr);
        // Inner area: 3 pixels in (edge and bevel); the bar 3 more from its sides and bottom.
        QCOMPARE(label->geometry(), QRect(6, 79 - 6 - screen.height(), 250 - 12, screen.height()));
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QVERIFY(!label->autoFillBackground());
        QCOMPARE(label->pixmap().size(), screen);
        QCOMPARE(panel->animation()->isRunning(), animated);
        QVERIFY(!m_window->isEnabled());
        {
            // Drawn as it is, not greyed, although the window is disabled.
            const QImage shown = label->grab().toImage();
            const QImage frame = label->pixmap().toImage();
            const QPoint offset((label->width() - frame.width()) / 2, (label->height() - frame.height()) / 2);
            // An opaque pixel of the frame that the label shows, the first from the middle row
            // down: the panel shows through the others.
            std::optional<QPoint> opaque;
            for (int y = frame.height() / 2; y < frame.height() && !opaque; ++y) {
                for (int x = 0; x < frame.width() && !opaque; ++x) {
                    if (qAlpha(frame.pixel(x, y)) == 255 && shown.rect().contains(QPoint(x, y) + offset)) {
                        opaque = QPoint(x, y);
                    }
                }
            }
            QVERIFY2(opaque.has_value(), "the label shows an opaque pixel of the frame's lower half");
            QCOMPARE(shown.pixel(*opaque + offset), frame.pixel(*opaque));
        }

        if (animated) {
            QCOMPARE(panel->animation()->frameCount(), 12);
            const QImage first = label->pixmap().toImage();
            QCOMPARE(qAlpha(first.pixel(0, 0)), 0); // the bar's rounded corner lets the panel show
            QSignalSpy changes(panel->animation(), &OverlayAnimation::frameChanged);
            QVERIFY(changes.wait());
            QVERIFY(label->pixmap().toImage() != first);
        }
    }

    void refusedImageLeavesPanelForTheCleanUp_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("message");
        QByteArray wrongVersion = zeroDelayImage();
        wrongVersion.replace(3, 3, "90a");
        QTest::newRow("wrong version") << wrongVersion << u"Unknown GIF version"_s;
        QTest::newRow("not a GIF") << QByteArray("BM6\0\0\0", 6) << u"Unknown GIF version"_s;
        QTest::newRow("cut short") << zeroDelayImage().left(30) << u"Premature end of GIF data"_s;
    }

    void refusedImageLeavesPanelForTheCleanUp()
    {
        QFETCH(QByteArray, image);
        QFETCH(QString, message);
        putImage(image);
        m_window->setEnabled(false);

        QCOMPARE(showError(*m_window), message);
        QVERIFY(panelOf(*m_window) != nullptr);
        QVERIFY(pointerIsDatabaseWait());
        QVERIFY(m_window->isEnabled());

        EsconderAguarde(m_window.get());
        QCOMPARE(panelOf(*m_window), nullptr);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        QVERIFY(m_window->isEnabled());
    }

#ifndef _WIN32
    void aPipeForImageIsRefusedWithoutBlocking()
    {
        const std::filesystem::path image(imagePath().toStdU16String());
        QCOMPARE(::mkfifo(image.c_str(), 0600), 0);
        QCOMPARE(showError(*m_window), u"Cannot open file \"%1\". Não é um arquivo comum"_s.arg(imagePath()));
        EsconderAguarde(m_window.get());
        QCOMPARE(panelOf(*m_window), nullptr);
    }
#endif

    void zeroDelayAdvancesInNestedLoopNeverFasterThan50ms()
    {
        putImage(zeroDelayImage());
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, false);
        OverlayAnimation* animation = panelOf(*m_window)->animation();

        // A message box runs its own event loop, as the reply box does while the overlay is up.
        QMessageBox box(QMessageBox::NoIcon, u"Backup"_s, u"Resposta"_s, QMessageBox::Ok);
        QElapsedTimer clock;
        clock.start();
        QList<int> frames;
        QList<qint64> times;
        connect(animation, &OverlayAnimation::frameChanged, &box, [&](int frame) {
            frames.append(frame);
            times.append(clock.nsecsElapsed());
            if (frames.size() == 7) {
                box.done(QMessageBox::Ok);
            }
        });
        box.exec();

        // Past the last frame comes the first, whatever the file's repeat count.
        QCOMPARE(frames, (QList<int>{1, 2, 0, 1, 2, 0, 1}));
        for (qsizetype i = 1; i < times.size(); ++i) {
            QVERIFY2(times[i] - times[i - 1] >= 50'000'000,
                     qPrintable(u"change %1 after %2 ns"_s.arg(i).arg(times[i] - times[i - 1])));
        }
    }

    void framesWaitForTheUserInterfaceThread()
    {
        putImage(zeroDelayImage());
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, false);
        OverlayAnimation* animation = panelOf(*m_window)->animation();
        QSignalSpy changes(animation, &OverlayAnimation::frameChanged);

        QVERIFY(animation->waitForPendingChange(10s));
        // Several delays pass without events being processed: nothing moves, nothing piles up.
        std::this_thread::sleep_for(200ms);
        QCOMPARE(animation->currentFrame(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(changes.size(), 1);
        QCOMPARE(animation->currentFrame(), 1);
    }

    void removalWithAChangePendingNeverBlocks_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("animation stopped") << u"stop"_s;
        QTest::newRow("overlay hidden") << u"hide"_s;
        QTest::newRow("window destroyed") << u"destroy"_s;
    }

    void removalWithAChangePendingNeverBlocks()
    {
        QFETCH(QString, how);
        putImage(zeroDelayImage());
        MostrarAguarde(m_window.get(), u"Enviando Backup"_s, false);
        OverlayAnimation* animation = panelOf(*m_window)->animation();
        QSignalSpy changes(animation, &OverlayAnimation::frameChanged);
        QVERIFY(animation->waitForPendingChange(10s));

        if (how == u"stop"_s) {
            animation->stop();
            QVERIFY(!animation->isRunning());
            QCoreApplication::processEvents(); // the posted change is an empty step
            QCOMPARE(changes.size(), 0);
            QCOMPARE(animation->currentFrame(), 0);
        } else if (how == u"hide"_s) {
            EsconderAguarde(m_window.get());
            QCOMPARE(panelOf(*m_window), nullptr);
        } else {
            m_window.reset();
        }
        QCoreApplication::processEvents(); // nothing left behind that touches what is gone
    }

private:
    std::unique_ptr<QWidget> m_window;
};

QTEST_MAIN(TestWaitOverlay)
#include "tst_waitoverlay.moc"
