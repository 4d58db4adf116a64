#pragma once

// The window's small controls with behaviour of their own.

#include <QLineEdit>
#include <QValidator>
#include <QWidget>

class QAbstractButton;
class QLabel;

namespace glb::app {

/// Sizes `label` to its text. Where that would reach past its parent's contents (a
/// substitute font wider than the window's own), the label's font is condensed just enough
/// for the text to end inside; its height and style stay.
void fitText(QLabel* label);

/// Condenses the font of `button` (a push button or a check box, whose size is fixed) just
/// enough for its text to fit where the button draws it, when it does not already.
void fitText(QAbstractButton* button);

/// Upper-cases every character as it enters edtNome, one for one, so the cursor stays put
/// ("ã" becomes "Ã"; a letter without a single upper-case form stays as it is).
class UpperCaseValidator : public QValidator
{
public:
    using QValidator::QValidator;

    State validate(QString& input, int& position) const override;
};

/// edtCPFCNPJ: typed characters other than 0-9 are refused; pasted or dropped text is
/// taken as it is.
class DigitsOnlyEdit : public QLineEdit
{
public:
    using QLineEdit::QLineEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
};

/// pnlBotoes: the footer bar with the etched line along its top edge; its buttons keep
/// their distance to the bar's right and bottom edges.
class FooterBar : public QWidget
{
public:
    explicit FooterBar(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

} // namespace glb::app
