#pragma once

#include <QMessageBox>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>
#include <vector>

namespace glb::app {

/// The information box: `text` exactly as given (plain text), the application title as
/// caption, no icon, one "OK"; modal to the application and centred in the work area of
/// the monitor of the program's active window. Returns when the user dismisses it.
void showInformation(const QString& text);

/// The error box: `text` with the application title as caption, the stop icon and one
/// "OK", owned by the program's active window. Returns when the user dismisses it.
void showError(const QString& text);

/// The top-left corner that centres `size` in `area` (halves rounded towards zero); a
/// corner left of or above the area's own is moved to it.
QPoint centredTopLeft(const QRect& area, const QSize& size);

/// What a box showed.
struct ShownBox
{
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

/// Test hook: while one exists, boxes are recorded here instead of being shown, and the
/// optional callback runs for each as if the user had just dismissed it.
class BoxRecorder
{
public:
    BoxRecorder();
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    const std::vector<ShownBox>& boxes() const noexcept { return m_boxes; }
    void setOnShow(std::function<void(const ShownBox&)> onShow) { m_onShow = std::move(onShow); }
    /// Called by the boxes in place of showing `box`.
    void add(const ShownBox& box);

private:
    std::vector<ShownBox> m_boxes;
    std::function<void(const ShownBox&)> m_onShow;
};

} // namespace glb::app
