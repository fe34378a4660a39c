// SPDX-License-Identifier: MIT
#include "app/controls.h"

#include <QFontMetrics>
#include <QScopedValueRollback>

#include <algorithm>
#include <cmath>
#include <limits>

namespace swipewatch::ui {

Label::Label(QWidget *parent, qint16 index) : QLabel(parent), ControlProperties(index)
{
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void Label::fitCaptions()
{
    m_designedFont = font();
}

void Label::setCaption(const QString &caption)
{
    const int width = contentsRect().width();
    if (m_designedFont) {
        constexpr qreal kStep = 0.25, kSmallest = 1; // points
        QFont fitted = *m_designedFont;
        const int advance = QFontMetrics(fitted).horizontalAdvance(caption);
        if (advance > width) {
            // Straight to about the right size, then down in steps: glyph
            // widths do not scale exactly with the size.
            qreal points = std::floor(fitted.pointSizeF() * width / advance / kStep) * kStep;
            for (;; points -= kStep) {
                fitted.setPointSizeF(std::max(points, kSmallest));
                if (points <= kSmallest || QFontMetrics(fitted).horizontalAdvance(caption) <= width)
                    break;
            }
        }
        if (font() != fitted)
            setFont(fitted);
    }
    setText(caption);
    const bool cut = fontMetrics().horizontalAdvance(caption) > width;
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
    // Screen readers and the logic select a button without a click; toggled
    // sees every route. A click, which also comes on the button already
    // selected, raises Click once, after the selection has changed.
    connect(this, &QAbstractButton::toggled, this, [this](bool checked) {
        if (checked && !m_clicking)
            emit Click(Index());
    });
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (isChecked())
            emit Click(Index());
    });
}

// Only a click moves the selection through here.
void OptionButton::nextCheckState()
{
    const QScopedValueRollback<bool> clicking(m_clicking, true);
    QRadioButton::nextCheckState();
}

void OptionButton::setValue(bool value)
{
    if (value == isChecked())
        return;
    if (value) {
        setChecked(true); // raises Click
        return;
    }
    // An auto-exclusive button refuses to be unchecked directly; the logic
    // may still clear the selection, leaving the group with none selected.
    setAutoExclusive(false);
    setChecked(false);
    setAutoExclusive(true);
}

} // namespace swipewatch::ui
