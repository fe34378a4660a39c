#include "app/controls.h"

#include <limits>

namespace swipewatch::ui {

Label::Label(QWidget *parent, qint16 index) : QLabel(parent), ControlProperties(index)
{
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void Label::setCaption(const QString &caption)
{
    setText(caption);
    const bool cut = fontMetrics().horizontalAdvance(caption) > contentsRect().width();
    setToolTip(cut ? caption : QString());
}

TextBox::TextBox(QWidget *parent, qint16 index) : QLineEdit(parent), ControlProperties(index)
{
    // QLineEdit truncates at 32767 characters by default.
    setMaxLength(std::numeric_limits<int>::max());
}

void TextBox::setText(const QString &text)
{
    QLineEdit::setText(text);
    setCursorPosition(0);
}

Frame::Frame(QWidget *parent, qint16 index) : QGroupBox(parent), ControlProperties(index) {}

OptionButton::OptionButton(QWidget *parent, qint16 index)
    : QRadioButton(parent), ControlProperties(index)
{
    // clicked() covers the mouse, the space bar and the arrow keys, and fires
    // also on a button that is already selected.
    connect(this, &QAbstractButton::clicked, this, [this] { emit Click(Index()); });
}

void OptionButton::setValue(bool value)
{
    if (value == isChecked())
        return;
    if (value) {
        setChecked(true);
        emit Click(Index());
        return;
    }
    // An auto-exclusive button refuses to be unchecked directly; the logic
    // may still clear the selection, leaving the group with none selected.
    setAutoExclusive(false);
    setChecked(false);
    setAutoExclusive(true);
}

} // namespace swipewatch::ui
