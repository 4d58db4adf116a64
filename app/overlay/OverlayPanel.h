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

    /// The text the panel was given (its width follows it).
    QString text() const { return m_text; }
    void setText(const QString& text);
    /// The share of the work done, shown after the text ("Enviando Backup ... 42%"); the
    /// panel keeps its size. None until it is set.
    void setProgress(int percent);
    /// What the panel shows: the text, then the share once there is one.
    QString displayedText() const;
    /// A line in a smaller type under the text (the time left, a wait); none when empty. The
    /// panel keeps its size: a line too long for it is drawn condensed.
    void setDetail(const QString& detail);
    QString detail() const { return m_detail; }
    /// The font the detail line is drawn in, condensed as its room needs.
    QFont detailFont() const;
    /// Where the text and the detail line are drawn while there is a detail line.
    QRect textArea() const;
    QRect detailArea() const;

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
    QString m_detail;
    int m_percent = -1;
    QLabel* m_image = nullptr;
    OverlayAnimation* m_animation = nullptr;
};

} // namespace glb::app
