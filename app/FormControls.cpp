#include "app/FormControls.h"

#include <QCheckBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <functional>

namespace glb::app {

namespace {

bool onlyDigits(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

/// Half the natural width: narrower than that, a text is no longer legible.
constexpr int kNarrowestStretch = 50;

/// `font` condensed one step at a time until `fits` holds for it, or as far as is legible.
/// Unchanged when it fits as it is.
QFont condensedToFit(QFont font, const std::function<bool(const QFont&)>& fits)
{
    for (int stretch = QFont::Unstretched; !fits(font) && stretch > kNarrowestStretch;) {
        font.setStretch(--stretch);
    }
    return font;
}

} // namespace

void fitText(QLabel* label)
{
    label->adjustSize();
    const int room = label->parentWidget()->contentsRect().right() + 1 - label->x();
    if (label->width() <= room) {
        return;
    }
    const QFont condensed = condensedToFit(label->font(), [label, room](const QFont& font) {
        label->setFont(font);
        return label->sizeHint().width() <= room;
    });
    label->setFont(condensed);
    label->adjustSize();
}

void fitText(QAbstractButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QStyle::SubElement contents =
        qobject_cast<QCheckBox*>(button) != nullptr ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents;
    const int room = button->style()->subElementRect(contents, &option, button).width();
    const QString text = button->text();
    const QFont font = button->font();
    const QFont condensed = condensedToFit(font, [&text, room](const QFont& candidate) {
        return QFontMetrics(candidate).size(Qt::TextShowMnemonic, text).width() <= room;
    });
    if (condensed != font) {
        button->setFont(condensed);
    }
}

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
