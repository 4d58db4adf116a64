#include "app/overlay/OverlayPanel.h"

#include "app/overlay/FontFallback.h"
#include "app/overlay/OverlayAnimation.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <qdrawutil.h>

namespace glb::app {

namespace {

constexpr int kEdgeWidth = 2;  // the sunken outer edge
constexpr int kBevelWidth = 1; // the raised bevel inside it
constexpr int kImageMargin = 3;

} // namespace

namespace {

/// The image control: draws the frame as it is even while the window is disabled
/// (a plain label would grey it out).
class OverlayImage : public QLabel
{
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override
    {
        const QPixmap frame = pixmap();
        if (frame.isNull()) {
            return;
        }
        QPainter painter(this);
        const QSize size = frame.deviceIndependentSize().toSize();
        painter.drawPixmap((width() - size.width()) / 2, (height() - size.height()) / 2, frame);
    }
};

} // namespace

OverlayPanel::OverlayPanel(QWidget* parent)
    : QFrame(parent)
{
    // The edge and the bevel are painted here rather than by the style, so the inner
    // area is the same whatever style is in use.
    setFrameStyle(QFrame::NoFrame);
    constexpr int border = kEdgeWidth + kBevelWidth;
    setContentsMargins(border, border, border, border);
    // Own colours and font: the system's, not the window's. The window is disabled while
    // the panel is up; the panel keeps its normal colours so the message stays legible.
    QPalette colours = QApplication::palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto r = static_cast<QPalette::ColorRole>(role);
        colours.setColor(QPalette::Disabled, r, colours.color(QPalette::Active, r));
    }
    setPalette(colours);
    setBackgroundRole(QPalette::Button);
    setForegroundRole(QPalette::WindowText);
    setAutoFillBackground(true);
    QFont font;
    font.setFamilies(withFallbackFamily(QStringLiteral("Tahoma")));
    font.setPointSize(10);
    font.setBold(true);
    setFont(font);
}

OverlayPanel::~OverlayPanel()
{
    // The timer thread must end before the image control it feeds goes.
    stopAnimation();
}

void OverlayPanel::setText(const QString& text)
{
    m_text = text;
    update();
}

void OverlayPanel::setProgress(int percent)
{
    if (percent != m_percent) {
        m_percent = percent;
        update();
    }
}

QString OverlayPanel::displayedText() const
{
    return m_percent < 0 ? m_text : m_text + QStringLiteral(" %1%").arg(m_percent);
}

void OverlayPanel::setDetail(const QString& detail)
{
    if (detail != m_detail) {
        m_detail = detail;
        update();
    }
}

QRect OverlayPanel::textArea() const
{
    const QRect inner = contentsRect();
    const int bottom = m_image != nullptr ? m_image->geometry().top() : inner.bottom() + 1;
    return {inner.left(), inner.top(), inner.width(), (bottom - inner.top()) * 11 / 20};
}

QRect OverlayPanel::detailArea() const
{
    const QRect inner = contentsRect();
    const int bottom = m_image != nullptr ? m_image->geometry().top() : inner.bottom() + 1;
    const QRect above = textArea();
    return {inner.left() + kImageMargin, above.bottom() + 1, inner.width() - 2 * kImageMargin,
            bottom - above.bottom() - 1};
}

QFont OverlayPanel::detailFont() const
{
    QFont small = font();
    small.setBold(false);
    small.setPointSize(8);
    const int width = QFontMetrics(small).horizontalAdvance(m_detail);
    const int room = detailArea().width();
    if (width > room && width > 0) {
        // Condensed to fit, as far as it stays legible.
        constexpr int kNarrowest = 60;
        small.setStretch(std::max(kNarrowest, 100 * room / width));
    }
    return small;
}

void OverlayPanel::showAnimation(std::unique_ptr<OverlayAnimation> animation)
{
    delete m_image;
    m_image = new OverlayImage(this);
    m_image->setObjectName(QStringLiteral("barraloadAguarde"));
    m_image->setAlignment(Qt::AlignCenter);
    m_image->setAutoFillBackground(false); // transparent pixels show the panel
    m_animation = animation.release();
    m_animation->setParent(m_image);
    m_image->setPixmap(QPixmap::fromImage(m_animation->currentImage()));
    connect(m_animation, &OverlayAnimation::frameChanged, m_image,
            [label = m_image, source = m_animation] { label->setPixmap(QPixmap::fromImage(source->currentImage())); });
    dockImage();
    m_image->show();
    m_animation->start();
}

void OverlayPanel::stopAnimation()
{
    if (m_animation != nullptr) {
        m_animation->stop();
    }
}

void OverlayPanel::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), true); // sunken, two pixels
    qDrawShadePanel(&painter, rect().adjusted(kEdgeWidth, kEdgeWidth, -kEdgeWidth, -kEdgeWidth), palette(), false,
                    kBevelWidth);
    painter.setPen(palette().color(foregroundRole()));
    if (m_detail.isEmpty()) {
        painter.drawText(rect(), Qt::AlignCenter, displayedText());
        return;
    }
    painter.drawText(textArea(), Qt::AlignHCenter | Qt::AlignBottom, displayedText());
    painter.setFont(detailFont());
    painter.drawText(detailArea(), Qt::AlignHCenter | Qt::AlignVCenter, m_detail);
}

void OverlayPanel::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    dockImage();
}

void OverlayPanel::dockImage()
{
    if (m_image == nullptr || m_animation == nullptr) {
        return;
    }
    const QRect inner = contentsRect();
    const int height = m_animation->screenSize().height();
    m_image->setGeometry(inner.left() + kImageMargin, inner.bottom() + 1 - kImageMargin - height,
                         inner.width() - 2 * kImageMargin, height);
}

} // namespace glb::app
