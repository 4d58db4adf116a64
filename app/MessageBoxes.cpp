#include "app/MessageBoxes.h"

#include "app/AppTitle.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLayout>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QWidget>
#include <algorithm>

namespace glb::app {

namespace {

BoxRecorder* g_recorder = nullptr;

const QString kEllipsis = QStringLiteral("\u2026");

// Room the box takes around its text: caption, margins, icon and the button row.
constexpr int kFrameAndButtonsHeight = 160;
constexpr int kIconAndMarginsWidth = 120;

/// The monitor a box appears on: that of the program's active window, else the primary one.
QScreen* boxScreen()
{
    if (QWidget* active = QApplication::activeWindow()) {
        if (QScreen* screen = active->screen()) {
            return screen;
        }
    }
    return QGuiApplication::primaryScreen();
}

/// `text` cut to about a screenful before the box lays it out: the box's own limit on its
/// width and the lines of the label's font that fit the work area's height.
QString screenful(const QString& text)
{
    const QScreen* screen = boxScreen();
    if (screen == nullptr) {
        return text;
    }
    const QRect area = screen->availableGeometry();
    // The width at which the box wraps a text of words (the toolkit's rule for message
    // boxes); a text without blanks may take up to twice that, the check after layout cuts
    // what still does not fit.
    const int boxWidth = std::min(area.width() / 2, 500);
    const QFontMetrics metrics(QApplication::font("QMessageBox"));
    const int columns = std::max(10, (boxWidth - kIconAndMarginsWidth) / std::max(1, metrics.averageCharWidth()));
    const int lines = std::max(1, (area.height() - kFrameAndButtonsHeight) / std::max(1, metrics.lineSpacing()));
    return cutToLines(text, columns, lines);
}

/// A box kept within the work area of its monitor: after it has laid out its text, a text
/// still too tall for the area (wide letters, early word wraps) is cut further.
class ScreenBox : public QMessageBox
{
public:
    ScreenBox(QWidget* parent, bool centred)
        : QMessageBox(parent)
        , m_centred(centred)
    {
    }

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (event->spontaneous()) {
            return;
        }
        QScreen* screen = boxScreen();
        if (screen == nullptr) {
            return;
        }
        const QRect area = screen->availableGeometry();
        QString body = text();
        const bool cut = body.endsWith(kEllipsis);
        if (cut) {
            body.chop(kEllipsis.size());
        }
        narrowTo(area);
        // Each round keeps the share of the text that the area's height allows; the text
        // is a screenful already, so a round costs one small layout.
        for (int round = 0; round < 8 && frameGeometry().height() > area.height() && !body.isEmpty(); ++round) {
            const double share = 0.9 * area.height() / frameGeometry().height();
            body.truncate(static_cast<qsizetype>(static_cast<double>(body.size()) * share));
            if (!body.isEmpty() && body.back().isHighSurrogate()) {
                body.chop(1);
            }
            setText(body + kEllipsis);
            narrowTo(area);
        }
        const QSize size = frameGeometry().size();
        if (m_centred) {
            move(centredTopLeft(area, size));
        } else {
            // Where the toolkit placed it, moved inside the area.
            const QPoint corner = frameGeometry().topLeft();
            const int left = std::max(area.left(), std::min(corner.x(), area.right() + 1 - size.width()));
            const int top = std::max(area.top(), std::min(corner.y(), area.bottom() + 1 - size.height()));
            move(left, top);
        }
    }

private:
    /// On a narrow screen the toolkit lets a box grow as wide as the screen, margins
    /// beyond it; a word too long for a line is then clipped by the label either way.
    void narrowTo(const QRect& area)
    {
        const int frameWidth = frameGeometry().width() - width();
        if (frameGeometry().width() <= area.width()) {
            return;
        }
        const int boxWidth = area.width() - frameWidth;
        const int boxHeight =
            layout() != nullptr && layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(boxWidth) : height();
        setFixedSize(boxWidth, std::max(boxHeight, height()));
    }

    bool m_centred;
};

void prepare(QMessageBox& box, const QString& text)
{
    box.setWindowTitle(applicationTitle());
    // Texts come from files, the service and the system: never read them as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
}

} // namespace

void showInformation(const QString& text)
{
    const QString shown = screenful(text);
    if (g_recorder != nullptr) {
        g_recorder->add({applicationTitle(), shown, QMessageBox::NoIcon});
        return;
    }
    ScreenBox box(nullptr, true);
    prepare(box, shown);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool askYesNo(const QString& text)
{
    const QString shown = screenful(text);
    if (g_recorder != nullptr) {
        return g_recorder->ask({applicationTitle(), shown, QMessageBox::Question});
    }
    ScreenBox box(nullptr, true);
    box.setWindowTitle(applicationTitle());
    box.setTextFormat(Qt::PlainText);
    box.setText(shown);
    box.setIcon(QMessageBox::Question);
    QPushButton* sim = box.addButton(QStringLiteral("Sim"), QMessageBox::YesRole);
    QPushButton* nao = box.addButton(QStringLiteral("Não"), QMessageBox::NoRole);
    box.setDefaultButton(nao);
    box.setEscapeButton(nao);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return box.clickedButton() == sim;
}

void showError(const QString& text)
{
    const QString shown = screenful(text);
    if (g_recorder != nullptr) {
        g_recorder->add({applicationTitle(), shown, QMessageBox::Critical});
        return;
    }
    ScreenBox box(QApplication::activeWindow(), false);
    prepare(box, shown);
    box.setIcon(QMessageBox::Critical);
    box.exec();
}

QString cutToLines(QStringView text, int columns, int lines)
{
    columns = std::max(columns, 1);
    int used = 0;   // lines filled so far
    int column = 0; // characters on the line being filled
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n') {
            ++used;
            column = 0;
            continue;
        }
        if (column == columns) {
            ++used; // wrapped: this character starts the next line
            column = 0;
        }
        ++column;
        if (used >= lines) {
            qsizetype keep = i;
            if (keep > 0 && text[keep - 1].isHighSurrogate()) {
                --keep;
            }
            QString kept = text.left(keep).toString();
            while (!kept.isEmpty() && kept.back().isSpace()) {
                kept.chop(1);
            }
            return kept + kEllipsis;
        }
    }
    return text.toString();
}

QPoint centredTopLeft(const QRect& area, const QSize& size)
{
    const int left = area.left() + area.width() / 2 - size.width() / 2;
    const int top = area.top() + area.height() / 2 - size.height() / 2;
    return {std::max(left, area.left()), std::max(top, area.top())};
}

BoxRecorder::BoxRecorder()
{
    g_recorder = this;
}

BoxRecorder::~BoxRecorder()
{
    g_recorder = nullptr;
}

bool BoxRecorder::ask(const ShownBox& box)
{
    m_boxes.push_back(box);
    return m_answer ? m_answer(box) : false;
}

void BoxRecorder::add(const ShownBox& box)
{
    m_boxes.push_back(box);
    if (m_onShow) {
        m_onShow(box);
    }
}

} // namespace glb::app
