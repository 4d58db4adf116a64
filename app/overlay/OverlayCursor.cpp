#include "app/overlay/OverlayCursor.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>
#include <array>

namespace glb::app {

namespace {

// The letters are drawn from a 3 x 5 pixel font of their own so the pointer looks the
// same whatever fonts the system has.
constexpr std::array<const char*, 5> kGlyphS = {"###", "#..", "###", "..#", "###"};
constexpr std::array<const char*, 5> kGlyphQ = {"###", "#.#", "#.#", "###", "..#"};
constexpr std::array<const char*, 5> kGlyphL = {"#..", "#..", "#..", "#..", "###"};

void drawGlyph(QImage& image, const std::array<const char*, 5>& glyph, int left, int top, int scale)
{
    const QRgb ink = qRgb(0, 0, 0);
    const QRgb halo = qRgb(255, 255, 255);
    // White halo first, so the letters stay readable over dark backgrounds.
    for (int pass = 0; pass < 2; ++pass) {
        for (int row = 0; row < 5; ++row) {
            for (int column = 0; column < 3; ++column) {
                if (glyph[static_cast<std::size_t>(row)][column] != '#') {
                    continue;
                }
                for (int dy = 0; dy < scale; ++dy) {
                    for (int dx = 0; dx < scale; ++dx) {
                        const int x = left + column * scale + dx;
                        const int y = top + row * scale + dy;
                        if (pass == 1) {
                            image.setPixel(x, y, ink);
                            continue;
                        }
                        for (int hy = -1; hy <= 1; ++hy) {
                            for (int hx = -1; hx <= 1; ++hx) {
                                if (image.rect().contains(x + hx, y + hy) && qAlpha(image.pixel(x + hx, y + hy)) == 0) {
                                    image.setPixel(x + hx, y + hy, halo);
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

QImage drawPointer()
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, false);
        // The hourglass: two frame bars and two glass bulbs, sand in the lower one.
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::white);
        const QPolygon glass({QPoint(2, 2), QPoint(16, 2), QPoint(10, 9), QPoint(16, 16), QPoint(2, 16), QPoint(8, 9)});
        painter.drawPolygon(glass);
        painter.setBrush(QColor(176, 128, 48));
        painter.drawPolygon(QPolygon({QPoint(5, 15), QPoint(13, 15), QPoint(9, 11)}));
        painter.setBrush(Qt::black);
        painter.drawRect(0, 0, 18, 2);
        painter.drawRect(0, 16, 18, 2);
    }
    constexpr int scale = 2;
    constexpr int top = 21;
    drawGlyph(image, kGlyphS, 2, top, scale);
    drawGlyph(image, kGlyphQ, 10, top, scale);
    drawGlyph(image, kGlyphL, 18, top, scale);
    return image;
}

} // namespace

QCursor databaseWaitCursor()
{
    // The picture is kept as an image: pixmaps must not outlive the application object.
    static const QImage picture = drawPointer();
    return QCursor(QPixmap::fromImage(picture), 0, 0);
}

} // namespace glb::app
