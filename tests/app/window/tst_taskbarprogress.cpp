// The progress on the window's taskbar button: what each call leaves asked for, on every
// platform, and on Windows that the shell's taskbar list takes it.

#include "app/TaskbarProgress.h"

#include <QStringList>
#include <QTest>
#include <QWidget>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <objbase.h>
#include <windows.h>
#endif

using glb::app::TaskbarProgress;
using namespace Qt::Literals::StringLiterals;

namespace {

QString nameOf(TaskbarProgress::State state)
{
    switch (state) {
    case TaskbarProgress::State::None:
        return u"none"_s;
    case TaskbarProgress::State::Normal:
        return u"normal"_s;
    case TaskbarProgress::State::Paused:
        return u"paused"_s;
    }
    return u"?"_s;
}

#ifdef _WIN32
// Windows' taskbar list takes every state (Wine's too, though it draws none of them).
constexpr bool kTaskbarList = true;

bool underWine()
{
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
constexpr bool kTaskbarList = false;
#endif

} // namespace

class TestTaskbarProgress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_window.resize(320, 200);
        m_window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m_window));
    }

    void followsWhatItIsAskedFor_data()
    {
        // The steps: a number is setPercent, "pause" and "resume" are setPaused, "clear" clear().
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("percent");
        QTest::newRow("a percent") << u"0 25 40"_s << u"normal"_s << 40;
        QTest::newRow("held to 100") << u"140"_s << u"normal"_s << 100;
        QTest::newRow("held to 0") << u"40 -5"_s << u"normal"_s << 0;
        QTest::newRow("paused at its percent") << u"40 pause"_s << u"paused"_s << 40;
        QTest::newRow("paused, a new percent") << u"40 pause 55"_s << u"paused"_s << 55;
        QTest::newRow("running again") << u"40 pause 55 resume"_s << u"normal"_s << 55;
        QTest::newRow("cleared") << u"40 pause clear"_s << u"none"_s << 0;
        QTest::newRow("nothing to pause") << u"pause"_s << u"none"_s << 0;
        QTest::newRow("shown again after a clear") << u"40 clear 10"_s << u"normal"_s << 10;
    }

    void followsWhatItIsAskedFor()
    {
        QFETCH(QString, steps);
        QFETCH(QString, state);
        QFETCH(int, percent);
        TaskbarProgress progress(&m_window);
        for (const auto& step : steps.split(u' ')) {
            if (step == u"pause"_s) {
                progress.setPaused(true);
            } else if (step == u"resume"_s) {
                progress.setPaused(false);
            } else if (step == u"clear"_s) {
                progress.clear();
            } else {
                progress.setPercent(step.toInt());
            }
        }
        QCOMPARE(nameOf(progress.state()), state);
        QCOMPARE(progress.percent(), percent);
        QCOMPARE(progress.shown(), kTaskbarList);
    }

    void drawnOnTheTaskbarButton()
    {
#ifndef _WIN32
        QSKIP("this platform has no taskbar list: the progress is only kept, as checked above");
#else
        // Qt's windows platform has initialised COM on this thread as a single-threaded
        // apartment, which the taskbar list needs: one more such initialisation only counts.
        const HRESULT again = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        ::CoUninitialize();
        QCOMPARE(again, HRESULT{1}); // S_FALSE
        if (underWine()) {
            QSKIP("Wine takes every state from the taskbar list (checked above) but draws no progress on a "
                  "taskbar button: what the button shows is not checked here");
        }
#endif
    }

private:
    QWidget m_window;
};

QTEST_MAIN(TestTaskbarProgress)
#include "tst_taskbarprogress.moc"
