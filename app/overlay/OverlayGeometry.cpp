#include "app/overlay/OverlayGeometry.h"

#include "common/AsciiText.h"

#include <algorithm>
#include <system_error>

namespace glb::app {

namespace {

constexpr int kMinimumWidth = 250;
constexpr int kPixelsPerCharacter = 9;
constexpr int kInitialHeight = 41;
constexpr int kHeight = 79;
constexpr char kImageName[] = "carregandobarra.gif";

// The existence test of the image file: anything but a folder. A pipe or a device of that
// name exists, and the loader refuses it with an error.
bool isFile(const std::filesystem::path& path)
{
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

} // namespace

int overlayPanelWidth(qsizetype textLength)
{
    const qsizetype width = textLength * kPixelsPerCharacter;
    return width > kMinimumWidth ? static_cast<int>(std::min<qsizetype>(width, 1 << 24)) : kMinimumWidth;
}

QRect overlayPanelGeometry(QSize windowOuterSize, qsizetype textLength)
{
    const int width = overlayPanelWidth(textLength);
    // C++ division truncates toward zero, as the placement rule asks for a window
    // narrower than the panel.
    const int left = (windowOuterSize.width() - width) / 2;
    const int top = (windowOuterSize.height() - kInitialHeight) / 2;
    return {left, top, width, kHeight};
}

QString lowerAsciiPath(const QString& path)
{
    QString result = path;
    for (QChar& c : result) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) {
            c = QChar(c.unicode() - u'A' + u'a');
        }
    }
    return result;
}

std::optional<std::filesystem::path> findOverlayImage(const std::filesystem::path& executableDirectory)
{
    const QString spelled = QString::fromStdU16String((executableDirectory / kImageName).u16string());
    const std::filesystem::path lowered(lowerAsciiPath(spelled).toStdU16String());
    if (isFile(lowered)) {
        return lowered;
    }
    // As spelled first, then any case; several of the latter: the first by name.
    if (isFile(executableDirectory / kImageName)) {
        return executableDirectory / kImageName;
    }
    std::optional<std::filesystem::path> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(executableDirectory, error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::path name = it->path().filename();
        if (lowerAscii(name.string()) == kImageName && isFile(it->path()) && (!found || name < found->filename())) {
            found = it->path();
        }
    }
    return found;
}

} // namespace glb::app
