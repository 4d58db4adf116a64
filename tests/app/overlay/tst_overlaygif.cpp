// The overlay's pure rules: the GIF block walker, the delay bounds, the panel's place and
// the finding of the image file.

#include "GifFixture.h"
#include "app/gif/GifFile.h"
#include "app/overlay/OverlayGeometry.h"
#include "common/SystemErrorText.h"
#include "tests/support/TempDir.h"

#include <QBuffer>
#include <QTest>
#include <cerrno>
#include <filesystem>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using glb::app::EGifError;
using glb::app::GifStructure;
using glb::test::GifFrame;
using glb::test::makeGif;
using namespace Qt::Literals::StringLiterals;

namespace {

GifStructure parse(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return glb::app::parseGifStructure(buffer);
}

QString parseError(const QByteArray& bytes)
{
    try {
        parse(bytes);
    } catch (const EGifError& error) {
        return QString::fromStdString(error.message());
    }
    return QStringLiteral("(no error)");
}

} // namespace

class TestOverlayGif : public QObject
{
    Q_OBJECT
private slots:
    void delaysComeFromEachFramesControlBlock()
    {
        // A comment block and a looping extension between the frames must not shift the
        // delays; a frame without a control block has none of its own.
        QByteArray bytes = makeGif(7, 12, {{0, 0, 1}, {7, 1, 2}, {65535, 2, 3}, {5, 3, 1, false}}, 0);
        bytes.insert(bytes.indexOf(char(0x2C)), QByteArray::fromHex("21fe03616263"
                                                                    "00"));
        const GifStructure gif = parse(bytes);
        QCOMPARE(gif.screenWidth, 7);
        QCOMPARE(gif.screenHeight, 12);
        QCOMPARE(gif.frameDelaysMs, (std::vector<int>{0, 70, 655350, 0}));
    }

    void missingTrailerIsAccepted()
    {
        QCOMPARE(parse(makeGif(2, 2, {{3}, {4}}, std::nullopt, false)).frameDelaysMs, (std::vector<int>{30, 40}));
    }

    void refusedFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");
        const QByteArray good = makeGif(4, 4, {{1}, {1}});
        const QByteArray screenOnly = good.left(6 + 7 + 12);
        const QString unknown = QStringLiteral("Unknown GIF version");
        const QString cut = QStringLiteral("Premature end of GIF data");
        // clang-format off
        QTest::newRow("empty")             << QByteArray() << unknown;
        QTest::newRow("signature only")    << QByteArray("GIF") << unknown;
        QTest::newRow("version cut")       << QByteArray("GIF89") << unknown;
        QTest::newRow("unknown version")   << QByteArray("GIF90a").append(good.mid(6)) << unknown;
        QTest::newRow("lower-case GIF")    << QByteArray("gif89a").append(good.mid(6)) << unknown;
        QTest::newRow("PNG file")          << QByteArray::fromHex("89504e470d0a1a0a0000000d49484452") << unknown;
        QTest::newRow("screen cut")        << good.left(9) << cut;
        QTest::newRow("colour table cut")  << good.left(20) << cut;
        QTest::newRow("image data cut")    << good.left(good.size() - 4) << cut;
        QTest::newRow("no frames")         << QByteArray(screenOnly).append(char(0x3B)) << QStringLiteral("GIF image has no frames");
        QTest::newRow("unknown block")     << QByteArray(screenOnly).append(char(0x99))
                                           << QStringLiteral("Unknown GIF block type 0x99 at offset 25");
        // clang-format on
    }

    void refusedFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        QCOMPARE(parseError(bytes), message);
    }

    void openRefusalsNameThePathAndTheReason_data()
    {
        QTest::addColumn<QString>("entry"); // "" absent, "/" a folder, "|" a pipe
        QTest::addColumn<QString>("reason");
        // clang-format off
        QTest::newRow("absent")   << QString()    << QString::fromStdString(glb::systemErrorText(ENOENT));
        QTest::newRow("a folder") << u"/"_s       << u"Não é um arquivo comum"_s;
#ifndef _WIN32
        QTest::newRow("a pipe, refused without blocking") << u"|"_s << u"Não é um arquivo comum"_s;
#endif
        // clang-format on
    }

    void openRefusalsNameThePathAndTheReason()
    {
        QFETCH(QString, entry);
        QFETCH(QString, reason);
        const glb::test::TempDir dir;
        const std::filesystem::path file = dir / "carregandobarra.gif";
        if (entry == u"/"_s) {
            std::filesystem::create_directory(file);
        }
#ifndef _WIN32
        if (entry == u"|"_s) {
            QCOMPARE(::mkfifo(file.c_str(), 0600), 0);
        }
#endif
        const QString path = QString::fromStdString(file.string());
        try {
            glb::app::readGifStructure(path);
            QFAIL("no error");
        } catch (const EGifError& error) {
            QCOMPARE(QString::fromStdString(error.message()),
                     QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason));
        }
    }

    void delayBounds_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("used");
        // clang-format off
        QTest::newRow("zero")      << 0 << 50;
        QTest::newRow("40 ms")     << 40 << 50;
        QTest::newRow("50 ms")     << 50 << 50;
        QTest::newRow("80 ms")     << 80 << 80;
        QTest::newRow("10 s")      << 10000 << 10000;
        QTest::newRow("largest")   << 655350 << 10000;
        // clang-format on
    }

    void delayBounds()
    {
        QFETCH(int, stored);
        QFETCH(int, used);
        QCOMPARE(glb::app::animationDelayMs(stored), used);
    }

    void panelGeometry_data()
    {
        QTest::addColumn<QSize>("outer");
        QTest::addColumn<int>("textLength");
        QTest::addColumn<QRect>("expected");
        // clang-format off
        QTest::newRow("Enviando Backup ...") << QSize(472, 351) << 19 << QRect(111, 155, 250, 79);
        QTest::newRow("27 characters")       << QSize(472, 351) << 27 << QRect(111, 155, 250, 79);
        QTest::newRow("28 characters")       << QSize(472, 351) << 28 << QRect(110, 155, 252, 79);
        QTest::newRow("odd outer size")      << QSize(473, 352) << 19 << QRect(111, 155, 250, 79);
        QTest::newRow("window narrower")     << QSize(201, 30)  << 19 << QRect(-24, -5, 250, 79);
        // clang-format on
    }

    void panelGeometry()
    {
        QFETCH(QSize, outer);
        QFETCH(int, textLength);
        QFETCH(QRect, expected);
        QCOMPARE(glb::app::overlayPanelGeometry(outer, textLength), expected);
    }

    void pathLowerCasesAsciiOnly()
    {
        QCOMPARE(glb::app::lowerAsciiPath(QStringLiteral("C:\\Programas\\ÁRVORE Zé\\CarregandoBarra.GIF")),
                 QStringLiteral("c:\\programas\\Árvore zé\\carregandobarra.gif"));
    }

    void imageFileIsFound_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("found");
        // clang-format off
        QTest::newRow("beside the program")       << u"prog"_s << QStringList{u"carregandobarra.gif"_s} << u"prog/carregandobarra.gif"_s;
        QTest::newRow("folder spelled in capitals") << u"Prog"_s << QStringList{u"carregandobarra.gif"_s} << u"Prog/carregandobarra.gif"_s;
        QTest::newRow("name in other case")       << u"prog"_s << QStringList{u"CarregandoBarra.GIF"_s} << u"prog/CarregandoBarra.GIF"_s;
        QTest::newRow("several: exact name wins")  << u"Prog"_s << QStringList{u"CARREGANDOBARRA.GIF"_s, u"carregandobarra.gif"_s} << u"Prog/carregandobarra.gif"_s;
        QTest::newRow("several: first by name")   << u"Prog"_s << QStringList{u"carregandoBarra.gif"_s, u"CarregandoBarra.gif"_s} << u"Prog/CarregandoBarra.gif"_s;
        QTest::newRow("absent")                   << u"prog"_s << QStringList{u"carregandobarra.png"_s} << u""_s;
        QTest::newRow("a folder of that name")    << u"prog"_s << QStringList{u"carregandobarra.gif/"_s} << u""_s;
#ifndef _WIN32
        QTest::newRow("a pipe of that name")      << u"prog"_s << QStringList{u"carregandobarra.gif|"_s} << u"prog/carregandobarra.gif"_s;
#endif
        // clang-format on
    }

    void imageFileIsFound()
    {
        QFETCH(QString, folder);
        QFETCH(QStringList, files);
        QFETCH(QString, found);
        const glb::test::TempDir dir;
        const std::filesystem::path program = dir / folder.toStdString();
        std::filesystem::create_directories(program);
        for (const QString& file : files) {
            if (file.endsWith(u'/')) {
                std::filesystem::create_directories(program / file.chopped(1).toStdString());
#ifndef _WIN32
            } else if (file.endsWith(u'|')) {
                QCOMPARE(::mkfifo((program / file.chopped(1).toStdString()).c_str(), 0600), 0);
#endif
            } else {
                glb::test::writeFile(program / file.toStdString(), "GIF89a");
            }
        }
        const auto image = glb::app::findOverlayImage(program);
        if (found.isEmpty()) {
            QVERIFY(!image);
        } else {
            QVERIFY(image);
#ifdef _WIN32
            // Names differing only in case are one file there, and the path found may be
            // spelled in other case than the folder's.
            QVERIFY(std::filesystem::equivalent(*image, dir / found.toStdString()));
#else
            QCOMPARE(QString::fromStdString(image->lexically_relative(dir.path()).generic_string()), found);
#endif
        }
    }
};

QTEST_GUILESS_MAIN(TestOverlayGif)
#include "tst_overlaygif.moc"
