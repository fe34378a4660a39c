// SPDX-License-Identifier: MIT
// The window's controls: standard widgets that also speak the vocabulary the
// form's handlers use (Caption, Text, Tag, Value, Index), so the handlers read
// like the form's design and screen readers see ordinary Qt widgets.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QString>

#include <optional>

namespace swipewatch::ui {

// What every control carries besides its widget state: a free string that is
// never shown, and its Index within a control array (-1 outside any array).
class ControlProperties {
public:
    explicit ControlProperties(qint16 index) : m_index(index) {}

    QString Tag() const { return m_tag; }
    void setTag(const QString &tag) { m_tag = tag; }
    qint16 Index() const { return m_index; }

private:
    QString m_tag;
    qint16 m_index;
};

class Label : public QLabel, public ControlProperties {
    Q_OBJECT
public:
    explicit Label(QWidget *parent, qint16 index = -1);

    QString Caption() const { return text(); }
    // A caption too wide for the label is cut at its edge; its tool tip then
    // tells it in full. A label that fits its captions shrinks its font first.
    void setCaption(const QString &caption);

    // From now on each caption starts from the label's present font and steps
    // it down until the caption fits the label's width: for numbers, of which
    // every digit counts.
    void fitCaptions();

private:
    std::optional<QFont> m_designedFont; // set by fitCaptions()
};

// Single line, no length limit, no scroll bars; the user may type into it.
class TextBox : public QLineEdit, public ControlProperties {
    Q_OBJECT
public:
    explicit TextBox(QWidget *parent, qint16 index = -1);

    QString Text() const { return text(); }
    // Hides QLineEdit::setText on purpose: a box written by the logic shows
    // the start of its text, not the end where QLineEdit leaves the cursor.
    void setText(const QString &text);
};

class Frame : public QGroupBox, public ControlProperties {
    Q_OBJECT
public:
    explicit Frame(QWidget *parent, qint16 index = -1);

    QString Caption() const { return title(); }
    void setCaption(const QString &caption) { setTitle(caption); }
};

// One button of an exclusive group formed by the option buttons that share a
// parent. Click is raised once whenever a button becomes selected, whatever
// selected it: the mouse, the keyboard, an assistive tool or the logic. A
// click on the button already selected raises it too.
class OptionButton : public QRadioButton, public ControlProperties {
    Q_OBJECT
public:
    OptionButton(QWidget *parent, qint16 index);

    QString Caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }

    bool Value() const { return isChecked(); }
    void setValue(bool value);

signals:
    void Click(qint16 Index);

protected:
    void nextCheckState() override;

private:
    bool m_clicking = false; // the click under way raises Click itself
};

} // namespace swipewatch::ui
