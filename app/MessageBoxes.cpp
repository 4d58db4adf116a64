#include "app/MessageBoxes.h"

#include "app/AppTitle.h"

#include <QApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWidget>
#include <algorithm>

namespace glb::app {

namespace {

BoxRecorder* g_recorder = nullptr;

/// The information box: placed on the work area of the active window's monitor once its
/// size is known, which is only when it is about to be shown.
class InformationBox : public QMessageBox
{
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (event->spontaneous()) {
            return;
        }
        QScreen* screen = nullptr;
        if (QWidget* active = QApplication::activeWindow()) {
            screen = active->screen();
        }
        if (screen == nullptr) {
            screen = QGuiApplication::primaryScreen();
        }
        if (screen != nullptr) {
            move(centredTopLeft(screen->availableGeometry(), frameGeometry().size()));
        }
    }
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
    if (g_recorder != nullptr) {
        g_recorder->add({applicationTitle(), text, QMessageBox::NoIcon});
        return;
    }
    InformationBox box;
    prepare(box, text);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void showError(const QString& text)
{
    if (g_recorder != nullptr) {
        g_recorder->add({applicationTitle(), text, QMessageBox::Critical});
        return;
    }
    QMessageBox box(QApplication::activeWindow());
    prepare(box, text);
    box.setIcon(QMessageBox::Critical);
    box.exec();
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

void BoxRecorder::add(const ShownBox& box)
{
    m_boxes.push_back(box);
    if (m_onShow) {
        m_onShow(box);
    }
}

} // namespace glb::app
