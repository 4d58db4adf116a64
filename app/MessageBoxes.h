#pragma once

#include <QMessageBox>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringView>
#include <functional>
#include <vector>

namespace glb::app {

/// The information box: `text` exactly as given (plain text), the application title as
/// caption, no icon, one "OK"; modal to the application and centred in the work area of
/// the monitor of the program's active window. Returns when the user dismisses it.
/// A text longer than a screenful is cut, with "…", so the box stays within the work area.
void showInformation(const QString& text);

/// The question box: `text` with the application title as caption, the question icon and the
/// buttons "Sim" and "Não", "Não" the default and the answer to Escape and the close button;
/// modal to the application, placed as the information box. True for "Sim".
bool askYesNo(const QString& text);

/// The error box: `text` with the application title as caption, the stop icon and one
/// "OK", owned by the program's active window, within the work area of its monitor (a text
/// longer than a screenful is cut, with "…"). Returns when the user dismisses it.
void showError(const QString& text);

/// `text` cut to at most `lines` lines of at most `columns` characters (a longer line counts
/// as the lines it wraps into), with "…" where it was cut; unchanged when it fits. The work
/// is bounded by `lines` x `columns`, whatever the length of the text.
QString cutToLines(QStringView text, int columns, int lines);

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
    /// Answers the question boxes in the user's place: true for "Sim". Without it, "Não".
    void setAnswer(std::function<bool(const ShownBox&)> answer) { m_answer = std::move(answer); }
    /// Called by the boxes in place of showing `box`.
    void add(const ShownBox& box);
    /// Called by the question box in place of asking `box`: the answer.
    bool ask(const ShownBox& box);

private:
    std::vector<ShownBox> m_boxes;
    std::function<void(const ShownBox&)> m_onShow;
    std::function<bool(const ShownBox&)> m_answer;
};

} // namespace glb::app
