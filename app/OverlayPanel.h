#pragma once

#include <QFrame>
#include <QString>
#include <memory>

class QLabel;

namespace glb::app {

class OverlayAnimation;

/// The wait panel "pngAguarde": a sunken two-pixel edge with a raised one-pixel bevel
/// inside, its own button-face background, and a text centred in it. It may hold the
/// image control "barraloadAguarde", docked to the bottom of its inner area.
class OverlayPanel : public QFrame
{
    Q_OBJECT
public:
    explicit OverlayPanel(QWidget* parent);
    ~OverlayPanel() override;

    OverlayPanel(const OverlayPanel&) = delete;
    OverlayPanel& operator=(const OverlayPanel&) = delete;

    QString text() const { return m_text; }
    void setText(const QString& text);

    /// Puts `animation` (taken over) on show in a new image control docked to the
    /// bottom with 3-pixel margins, as tall as the GIF's logical screen, and starts it.
    void showAnimation(std::unique_ptr<OverlayAnimation> animation);
    /// The animation on show, or none.
    OverlayAnimation* animation() const { return m_animation; }
    /// Stops the animation's timer thread, if there is one.
    void stopAnimation();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void dockImage();

    QString m_text;
    QLabel* m_image = nullptr;
    OverlayAnimation* m_animation = nullptr;
};

} // namespace glb::app
