// The built program on a machine without the product: one information box, and once it
// is dismissed the program ends by itself with exit code 0. Runs the real program on a
// private X server and answers the box with a real key press from outside.

#include "tests/support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTest>

namespace {

/// A child process that is stopped when the test leaves, however it leaves.
struct Child
{
    QProcess process;
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
};

QProcessEnvironment displayEnvironment(const QString& display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

/// Runs xdotool with `arguments` on `display`; its standard output, trimmed.
QString xdotool(const QString& display, const QStringList& arguments, bool& ok)
{
    QProcess tool;
    tool.setProcessEnvironment(displayEnvironment(display));
    tool.start(QStringLiteral("xdotool"), arguments);
    ok = tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void missingInstallationEndsTheProgramWithCodeZero()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) {
            QSKIP("needs Xvfb and xdotool (scripts/test installs them)");
        }
        Child server;
        // -displayfd 1: the server picks a free display and writes its number to stdout.
        server.process.start(QStringLiteral("Xvfb"),
                             {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1024x768x24")});
        QVERIFY(server.process.waitForStarted());
        QByteArray number;
        while (!number.contains('\n')) {
            QVERIFY2(server.process.waitForReadyRead(30000), "the X server did not report its display");
            number += server.process.readAllStandardOutput();
        }
        const QString display = u':' + QString::fromLatin1(number.trimmed());

        glb::test::TempDir empty;
        Child program;
        QProcessEnvironment env = displayEnvironment(display);
        env.insert(QStringLiteral("WINEPREFIX"), QString::fromStdString(empty.path().string()));
        program.process.setProcessEnvironment(env);
        program.process.setProcessChannelMode(QProcess::ForwardedChannels);
        // The toolkit's own options change nothing: with them passed on, an unknown
        // platform would end the program before its box.
        program.process.start(QStringLiteral(GLB_PROGRAM),
                              {QStringLiteral("-platform"), QStringLiteral("glb-no-such-platform"),
                               QStringLiteral("-reverse"), QStringLiteral("-style"), QStringLiteral("glb-none")});
        QVERIFY(program.process.waitForStarted());

        // The box carries the application title of the program file BackupGlebarium.
        bool ok = false;
        const QString box =
            xdotool(display,
                    {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), QStringLiteral("^Backupglebarium$")},
                    ok);
        QVERIFY2(ok && !box.isEmpty(), "no box titled Backupglebarium appeared");
        QCOMPARE(box.split(u'\n').size(), 1);
        // It waits for the user.
        QVERIFY(!program.process.waitForFinished(0));
        QCOMPARE(program.process.state(), QProcess::Running);

        xdotool(display, {QStringLiteral("windowfocus"), QStringLiteral("--sync"), box}, ok);
        QVERIFY(ok);
        xdotool(display, {QStringLiteral("key"), QStringLiteral("Return")}, ok);
        QVERIFY(ok);

        // Nothing more is pressed: the program must end by itself.
        QVERIFY2(program.process.waitForFinished(30000), "the program kept running after the box");
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
