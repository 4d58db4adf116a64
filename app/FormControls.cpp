#include "app/FormControls.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <algorithm>

namespace glb::app {

namespace {

bool onlyDigits(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

} // namespace

QValidator::State UpperCaseValidator::validate(QString& input, int& /*position*/) const
{
    for (QChar& c : input) {
        c = c.toUpper();
    }
    return Acceptable;
}

void DigitsOnlyEdit::keyPressEvent(QKeyEvent* event)
{
    // A key whose text is printable is one QLineEdit would insert; editing keys carry
    // none. Ctrl (not AltGr, which is Ctrl+Alt) makes a shortcut such as Ctrl+V.
    const QString text = event->text();
    const Qt::KeyboardModifiers held = event->modifiers();
    const bool shortcut = held.testAnyFlags(Qt::ControlModifier | Qt::MetaModifier) && !held.testFlag(Qt::AltModifier);
    if (!shortcut && !text.isEmpty() && text.front().isPrint() && !onlyDigits(text)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void DigitsOnlyEdit::inputMethodEvent(QInputMethodEvent* event)
{
    if (!onlyDigits(event->commitString())) {
        QInputMethodEvent filtered(event->preeditString(), event->attributes());
        QString digits;
        for (const QChar c : event->commitString()) {
            if (c >= u'0' && c <= u'9') {
                digits += c;
            }
        }
        filtered.setCommitString(digits, event->replacementStart(), event->replacementLength());
        QLineEdit::inputMethodEvent(&filtered);
        return;
    }
    QLineEdit::inputMethodEvent(event);
}

FooterBar::FooterBar(QWidget* parent)
    : QWidget(parent)
{
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
}

void FooterBar::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(0, 1, width() - 1, 1);
}

void FooterBar::resizeEvent(QResizeEvent* event)
{
    const QSize old = event->oldSize();
    if (!old.isValid()) {
        return;
    }
    const QPoint shift(event->size().width() - old.width(), event->size().height() - old.height());
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        child->move(child->pos() + shift);
    }
}

} // namespace glb::app
